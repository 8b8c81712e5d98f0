// Top-level await: the module finishes only once the promise has settled.
const value = await new Promise((resolve) => setTimeout(() => resolve(7), 10));
window.compatModules.topLevelAwait = value === 7;
