// A module importing another module file.
import { answer, greet } from './module-dep.js';

window.compatModules.imported = answer === 42 && greet('x') === 'hello x';
window.compatModules.meta = import.meta.url.endsWith('/module-main.js');
