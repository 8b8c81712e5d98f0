// The checks of compat.html: what web code written today relies on. Each runs alone, so one that
// fails does not stop the others. Newer syntax is compiled with new Function inside its check:
// in a file of its own it would stop the whole script from parsing. ES5 only out here.
(function () {
    var checks = [];

    // run(done) gives true, a promise of true, or nothing and calls done(true) later.
    function check(name, run) {
        checks.push({ name: name, run: run });
    }

    // source is a function body returning true or a promise of true.
    function syntax(name, source) {
        check(name, function () { return new Function(source)(); });
    }

    function supports(name, property, value) {
        check(name, function () { return CSS.supports(property, value); });
    }

    // A value a module script sets, where modules run.
    function moduleResult(name, key) {
        check(name, function (done) {
            CompatReport.waitFor(function () { return key in window.compatModules; }, 4000, function () {
                done(window.compatModules[key] === true);
            });
        });
    }

    function byId(id) {
        return document.getElementById(id);
    }

    // ES2015, which the rest builds on.
    syntax('let and const', 'const fns = []; for (let i = 0; i < 2; i++) fns.push(function () { return i; });' +
           'let sum = fns[0]() + fns[1](); return sum === 1;');
    syntax('arrow functions', 'const twice = x => x * 2; return [1, 2].map(v => twice(v)).join() === "2,4";');
    syntax('classes', 'class A { constructor(x) { this.x = x; } get double() { return this.x * 2; } }' +
           'class B extends A { constructor() { super(4); } } return new B().double === 8;');
    syntax('template literals', 'const n = 3; return `n=${n + 1}` === "n=4";');
    syntax('destructuring', 'const { a, b: [c, d = 5] } = { a: 1, b: [2] }; return a + c + d === 8;');
    syntax('default and rest parameters', 'function f(a, b = 2, ...rest) { return a + b + rest.length; }' +
           'return f(1) === 3 && f(1, 1, 7, 7) === 4;');
    syntax('spread in calls and arrays', 'const xs = [1, 2, 3]; return Math.max(...xs) === 3 && [0, ...xs].length === 4;');
    syntax('for...of', 'let sum = 0; for (const [k, v] of new Map([[1, 2], [3, 4]])) sum += k + v; return sum === 10;');
    syntax('generators', 'function* g() { yield 1; yield 2; } return [...g()].join() === "1,2";');
    syntax('Symbol.iterator', 'const it = { *[Symbol.iterator]() { yield "a"; } }; return Array.from(it)[0] === "a";');
    check('Map and Set', function () {
        return new Map([[1, 'a']]).get(1) === 'a' && new Set([1, 1, 2]).size === 2;
    });
    check('WeakMap and WeakSet', function () {
        var key = {};
        return new WeakMap([[key, 1]]).get(key) === 1 && new WeakSet([key]).has(key);
    });
    check('Proxy and Reflect', function () {
        var p = new Proxy({}, { get: function (t, k) { return k === 'x' ? 5 : Reflect.get(t, k); } });
        return p.x === 5 && Reflect.ownKeys({ a: 1 })[0] === 'a';
    });
    check('Promise', function () {
        return Promise.resolve(1).then(function (v) { return v + 1; }).then(function (v) { return v === 2; });
    });

    // ES2016 and ES2017.
    syntax('exponent operator', 'let x = 2; x **= 3; return x ** 2 === 64;');
    check('Array.prototype.includes', function () { return [1, NaN].includes(NaN); });
    syntax('async/await', 'async function f() { const v = await Promise.resolve(20); return v + 1; }' +
           'return f().then(v => v === 21);');
    check('Object.values and entries', function () {
        return Object.values({ a: 1 })[0] === 1 && Object.entries({ b: 2 })[0].join() === 'b,2';
    });
    check('String.prototype.padStart', function () { return '5'.padStart(3, '0') === '005' && 'a'.padEnd(2) === 'a '; });
    syntax('trailing commas in parameters', 'function f(a, b,) { return a + b; } return f(1, 2,) === 3;');
    check('Object.getOwnPropertyDescriptors', function () {
        return Object.getOwnPropertyDescriptors({ a: 1 }).a.value === 1;
    });

    // ES2018.
    syntax('object rest and spread', 'const { a, ...rest } = { a: 1, b: 2, c: 3 }; const o = { ...rest, d: 4 };' +
           'return a === 1 && Object.keys(o).join() === "b,c,d";');
    syntax('async iteration', 'async function* g() { yield 1; yield 2; }' +
           'async function f() { let s = 0; for await (const v of g()) s += v; return s; } return f().then(s => s === 3);');
    check('Promise.prototype.finally', function () {
        var ran = false;
        return Promise.resolve(1).finally(function () { ran = true; }).then(function (v) { return ran && v === 1; });
    });
    syntax('RegExp named groups', 'const m = /(?<year>\\d{4})-(?<month>\\d{2})/.exec("2024-05"); return m.groups.month === "05";');
    syntax('RegExp lookbehind', 'return "$42".match(/(?<=\\$)\\d+/)[0] === "42";');
    syntax('RegExp dotAll flag', 'return /a.b/s.test("a\\nb");');
    syntax('RegExp Unicode property escapes', 'return /\\p{Script=Han}/u.test("汉");');

    // ES2019.
    check('Array.prototype.flat and flatMap', function () {
        return [1, [2, [3]]].flat(2).length === 3 && [1, 2].flatMap(function (x) { return [x, x]; }).length === 4;
    });
    check('Object.fromEntries', function () { return Object.fromEntries([['a', 1]]).a === 1; });
    check('String.prototype.trimStart and trimEnd', function () { return ' a '.trimStart() === 'a ' && ' a '.trimEnd() === ' a'; });
    syntax('optional catch binding', 'try { throw 1; } catch { return true; }');

    // ES2020.
    syntax('optional chaining', 'const o = { a: { b: () => 3 } }; return o?.a?.b?.() === 3 && o.x?.y === undefined;');
    syntax('nullish coalescing', 'const a = 0 ?? 5; const b = null ?? 6; return a === 0 && b === 6;');
    syntax('BigInt', 'return (2n ** 64n).toString() === "18446744073709551616" && BigInt(3) === 3n;');
    check('Promise.allSettled', function () {
        return Promise.allSettled([Promise.resolve(1), Promise.reject(new Error('x'))]).then(function (r) {
            return r[0].status === 'fulfilled' && r[1].status === 'rejected';
        });
    });
    check('globalThis', function () { return globalThis === window; });
    check('String.prototype.matchAll', function () {
        return Array.from('a1b2'.matchAll(/\d/g)).length === 2;
    });
    check('dynamic import()', function () {
        return new Function('return import("./module-dep.js")')().then(function (m) { return m.answer === 42; });
    });

    // ES2021.
    check('String.prototype.replaceAll', function () { return 'a.b.c'.replaceAll('.', '-') === 'a-b-c'; });
    check('Promise.any', function () {
        return Promise.any([Promise.reject(new Error('x')), Promise.resolve(2)]).then(function (v) { return v === 2; });
    });
    syntax('logical assignment', 'let a = null, b = 1, c = 0; a ??= 4; b &&= 5; c ||= 6; return a + b + c === 15;');
    syntax('numeric separators', 'return 1_000_000 === 1000000;');
    check('WeakRef', function () { var o = {}; return new WeakRef(o).deref() === o; });

    // ES2022.
    syntax('class fields', 'class A { x = 1; static y = 2; } return new A().x + A.y === 3;');
    syntax('private fields', 'class A { #n = 5; get n() { return this.#n; } static has(o) { return #n in o; } }' +
           'return new A().n === 5 && A.has(new A());');
    syntax('private methods', 'class A { #twice(x) { return 2 * x; } run() { return this.#twice(4); } } return new A().run() === 8;');
    syntax('static initialization blocks', 'class A { static v; static { A.v = 9; } } return A.v === 9;');
    check('Array.prototype.at', function () { return [1, 2, 3].at(-1) === 3; });
    check('Object.hasOwn', function () { return Object.hasOwn({ a: 1 }, 'a') && !Object.hasOwn({}, 'toString'); });
    check('Error cause', function () { return new Error('x', { cause: 'y' }).cause === 'y'; });
    syntax('RegExp match indices', 'return /b/d.exec("abc").indices[0].join() === "1,2";');

    // ES modules.
    moduleResult('ES module importing a module file', 'imported');
    moduleResult('import.meta', 'meta');
    moduleResult('top-level await in a module', 'topLevelAwait');

    // Web APIs.
    check('fetch', function () {
        return fetch('hello.json').then(function (r) { return r.json(); }).then(function (d) { return d.greeting === 'hello'; });
    });
    check('AbortController', function () {
        var controller = new AbortController();
        var request = fetch('hello.json', { signal: controller.signal });
        controller.abort();
        return request.then(function () { return false; }, function (e) { return e.name === 'AbortError'; });
    });
    check('IntersectionObserver', function (done) {
        var observer = new IntersectionObserver(function (entries) {
            observer.disconnect();
            done(entries[0].isIntersecting);
        });
        observer.observe(byId('observed'));
    });
    check('ResizeObserver', function (done) {
        var observer = new ResizeObserver(function (entries) {
            observer.disconnect();
            done(Math.round(entries[0].contentRect.width) === 120);
        });
        observer.observe(byId('observed'));
    });
    syntax('custom elements', 'let connected = false;' +
           'customElements.define("compat-probe", class extends HTMLElement { connectedCallback() { connected = true; } });' +
           'document.body.appendChild(document.createElement("compat-probe")); return connected;');
    check('Shadow DOM', function () {
        var host = byId('shadow-host');
        var root = host.attachShadow({ mode: 'open' });
        root.innerHTML = '<style>p { margin: 0 }</style><p>[<slot></slot>]</p>';
        return host.shadowRoot === root && root.querySelector('slot').assignedNodes()[0].textContent === 'slotted';
    });
    check('WebAssembly', function () {
        // A module exporting add(i32, i32) -> i32.
        var bytes = new Uint8Array([0x00, 0x61, 0x73, 0x6d, 0x01, 0x00, 0x00, 0x00, 0x01, 0x07, 0x01, 0x60, 0x02,
            0x7f, 0x7f, 0x01, 0x7f, 0x03, 0x02, 0x01, 0x00, 0x07, 0x07, 0x01, 0x03, 0x61, 0x64, 0x64, 0x00, 0x00,
            0x0a, 0x09, 0x01, 0x07, 0x00, 0x20, 0x00, 0x20, 0x01, 0x6a, 0x0b]);
        return WebAssembly.instantiate(bytes).then(function (r) { return r.instance.exports.add(2, 3) === 5; });
    });
    check('structuredClone', function () {
        var copy = structuredClone({ when: new Date(0), list: [1, 2] });
        return copy.when instanceof Date && copy.list.length === 2;
    });
    check('Web Worker', function (done) {
        var url = URL.createObjectURL(new Blob(['onmessage = function (e) { postMessage(e.data * 2); };'],
                                               { type: 'text/javascript' }));
        var worker = new Worker(url);
        worker.onmessage = function (e) {
            worker.terminate();
            done(e.data === 42);
        };
        worker.postMessage(21);
    });

    // CSS.
    check('CSS grid', function () {
        var cells = byId('grid').children;
        return cells[1].offsetLeft - cells[0].offsetLeft === 30 && cells[1].offsetTop === cells[0].offsetTop;
    });
    check('flex gap', function () {
        var items = byId('flex').children;
        return items[1].offsetLeft - items[0].offsetLeft === 20;
    });
    check('CSS custom properties', function () { return byId('custom').children[0].offsetWidth === 33; });
    supports('clamp()', 'width', 'clamp(10px, 50%, 200px)');
    supports('aspect-ratio', 'aspect-ratio', '16 / 9');
    check(':has() selector', function () { return document.querySelector('#area:has(.has-probe)') === byId('area'); });
    supports('container queries', 'container-type', 'inline-size');

    function settleAll() {
        var passed = 0, settled = 0, failed = [], reasons = [];
        var out = byId('out');
        function settle(item, ok, why) {
            if (item.settled)
                return;
            item.settled = true;
            settled += 1;
            if (ok === true) {
                passed += 1;
            } else {
                failed.push(item.name);
                reasons.push(item.name + (why ? ': ' + why : ''));
            }
            if (settled === checks.length) {
                out.textContent = passed + ' of ' + checks.length + '\n' + reasons.join('\n');
                CompatReport.record('passed', passed);
                CompatReport.record('total', checks.length);
                CompatReport.record('failed', failed.join('; '));
                CompatReport.record('reasons', reasons.join('\n'));
                CompatReport.finish();
            }
        }
        checks.forEach(function (item) {
            function done(ok, why) { settle(item, ok, why); }
            try {
                var result = item.run(done);
                if (result && typeof result.then === 'function')
                    result.then(done, function (e) { done(false, CompatReport.messageOf(e)); });
                else if (result !== undefined)
                    done(result);
            } catch (e) {
                done(false, CompatReport.messageOf(e));
            }
        });
        // A check still waiting after this has failed.
        setTimeout(function () {
            checks.forEach(function (item) { settle(item, false, 'no answer in 5 s'); });
        }, 5000);
    }

    window.addEventListener('load', settleAll);
})();
