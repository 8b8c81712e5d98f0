// Shared by the compatibility pages: keeps the script errors a page raises, records what the page
// found into data/KavoBench/results.db through ClientDb (the bridge works on both engines where the
// page's own code may not even parse), then opens the next page. ES5 only, for the same reason.
var CompatReport = (function () {
    var pages = ['compat', 'vue', 'preact', 'chart'];
    var page = location.pathname.replace(/^.*\//, '').replace(/\.html$/, '');
    var errors = [];
    var db = null;

    window.addEventListener('error', function (e) {
        errors.push(e.message || String(e.error || e));
    });

    function messageOf(e) {
        if (!e || !e.message)
            return String(e);
        return e.name && e.message.indexOf(e.name) !== 0 ? e.name + ': ' + e.message : e.message;
    }

    function record(name, value) {
        if (!db) {
            db = KavoFactory.createObject('ClientDb');
            db.set_DbName('data/KavoBench/results.db');
        }
        db.insert('result', ['page', 'name', 'value'], { page: page, name: name, value: String(value) });
    }

    // Calls then(true) once test() holds, asking every 50 ms, or then(false) after ms.
    function waitFor(test, ms, then) {
        var until = Date.now() + ms;
        (function ask() {
            var ok = false;
            try {
                ok = !!test();
            } catch (e) {
            }
            if (ok || Date.now() >= until)
                then(ok);
            else
                setTimeout(ask, 50);
        })();
    }

    function finish() {
        record('errors', errors.join(' | '));
        record('done', 1);
        var next = pages[pages.indexOf(page) + 1];
        if (next) {
            location.href = next + '.html';
        } else {
            page = 'all';
            record('done', 1);
        }
    }

    return { record: record, waitFor: waitFor, finish: finish, error: function (e) { errors.push(messageOf(e)); },
             messageOf: messageOf };
})();
