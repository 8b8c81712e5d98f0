// Shared by the demo pages: the Kavo object the shell fills in, and small helpers.
var Kavo = window.Kavo || { webRoot: '', picturelist: [] };

var KavoDemo = {
    pageVersion: '5.0.0.0',
    version: function () {
        if (window.KavoDevice && typeof KavoDevice.getVersion === 'function')
            return { text: KavoDevice.getVersion(), source: '来自 KavoDevice.getVersion()' };
        return { text: KavoDemo.pageVersion, source: '来自页面（桥接对象尚未提供）' };
    },
    set: function (id, text) {
        var node = document.getElementById(id);
        if (node)
            node.textContent = text;
    }
};
