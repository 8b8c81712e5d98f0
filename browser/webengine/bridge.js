// Runs first in every new document of a Kavo window's main frame, before the page's own scripts.
// It asks the program, through a synchronous prompt that the program answers itself, whether this
// document gets the bridge; if so it defines the page globals with the same synchronous methods the
// objects have. The program decides from the origin the engine reports for the calling frame, never
// from anything this script or the page says.
(function () {
    'use strict';
    var prompt = window.prompt;
    var tag = '\u0001kavo-bridge\u0001';
    // The engine cuts a prompt's text at 10240 characters but passes its default value whole:
    // the text is only the tag, the message travels as the default value.
    var ids = new WeakMap();
    var documentToken = null;

    function encode(message) {
        return JSON.stringify(message, function (key, value) {
            var raw = this[key];
            if (raw instanceof Date)
                return { $kavoDate: raw.getTime() };
            if (raw !== null && typeof raw === 'object' && ids.has(raw))
                return { $kavoObject: ids.get(raw) };
            if (value === undefined)
                return null;
            return value;
        });
    }

    function revive(value) {
        if (Array.isArray(value))
            return value.map(revive);
        if (value === null || typeof value !== 'object')
            return value;
        if (typeof value.$kavoDate === 'number')
            return new Date(value.$kavoDate);
        if (typeof value.$kavoObject === 'number')
            return proxy(value.$kavoObject, value.methods || []);
        var out = {};
        Object.keys(value).forEach(function (key) { out[key] = revive(value[key]); });
        return out;
    }

    function dispatch(events) {
        (events || []).forEach(function (data) {
            var kavo = window.Kavo || (window.Kavo = { picturelist: [] });
            if (data.pictures === 'push') {
                if (!Array.isArray(kavo.picturelist))
                    kavo.picturelist = [];
                kavo.picturelist.push(data.picture);
            } else if (data.pictures === 'clear') {
                kavo.picturelist = [];
            }
            var ev = document.createEvent('Events');
            ev.initEvent(data.name, true, true);
            Object.keys(data.fields || {}).forEach(function (key) { ev[key] = data.fields[key]; });
            if (data.window)
                ev.window = window;
            document.dispatchEvent(ev);
        });
    }

    function ask(text) {
        return prompt.call(window, tag, text);
    }

    function send(message) {
        message.doc = documentToken;
        var answer = ask(encode(message));
        if (typeof answer !== 'string')
            throw new Error('Kavo: the program did not answer ' + (message.method || message.op));
        var reply = JSON.parse(answer);
        dispatch(reply.events);
        if (reply.error)
            throw new Error(reply.error);
        return revive(reply.value);
    }

    function proxy(id, methods) {
        var object = {};
        methods.forEach(function (name) {
            object[name] = function () {
                return send({ op: 'call', id: id, method: name, args: Array.prototype.slice.call(arguments) });
            };
        });
        ids.set(object, id);
        return object;
    }

    var hello = JSON.parse(ask(JSON.stringify({ op: 'start' })) || '{}');
    if (!hello.doc)
        return;
    documentToken = hello.doc;
    Object.defineProperty(window, '__kavoDocument', { value: hello.doc });
    (hello.objects || []).forEach(function (entry) {
        window[entry.name] = proxy(entry.$kavoObject, entry.methods);
    });

    // Many calls in one message: [[object, 'method', [arguments]], ...] gives their results in order.
    function batch(calls) {
        var list = (calls || []).map(function (call) {
            if (!Array.isArray(call) || !ids.has(call[0]))
                throw new TypeError('Kavo.batch: each call is [bridge object, method name, [arguments]]');
            return [ids.get(call[0]), String(call[1]), Array.isArray(call[2]) ? call[2] : []];
        });
        return send({ op: 'batch', calls: list });
    }
    var kavo = window.Kavo || (window.Kavo = { webRoot: '', picturelist: [] });
    kavo.batch = batch;
})();
