// The page's application as modules load it in a browser: relative imports, a class component
// with a field, a function component, tagged templates instead of JSX.
import { h, render, Component } from './npm/preact/dist/preact.module.js';
import htm from './npm/htm/dist/htm.module.js';

const html = htm.bind(h);

class Counter extends Component {
    state = { count: 2 };

    render({ label }, { count }) {
        return html`<p id="count">${label}: ${count}</p>`;
    }
}

const List = ({ items }) => html`<ul>${items.map((item) => html`<li>${item}</li>`)}</ul>`;

render(html`<${Counter} label="count" /><${List} items=${['a', 'b', 'c']} />`, document.getElementById('app'));
window.preactApp = true;
