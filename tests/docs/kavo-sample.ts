// Uses every declaration of sdk/kavo.d.ts the way a page would; compiled with tsc --noEmit --strict.
// The @ts-expect-error lines must stay errors: they prove the declarations are not `any`.

const root: string = Kavo.webRoot;
const pictures: string[] = Kavo.picturelist;

const db = KavoFactory.createObject('ClientDb');
if (db) {
    db.set_DbName('data/MyApp/app.db');
    const name: string = db.get_DbName();
    db.set_FieldNameToLower(!db.get_FieldNameToLower());
    db.beginTransaction();
    const inserted: number = db.insert('notes', ['title', 'created'], { title: name, created: new Date() });
    const id = db.get_LastInsertedId();
    const changed: number = db.update('notes', 'id', ['title'], { id: Number(id), title: 'x' });
    db.addParameter('suffix', '!');
    const affected: number = db.executeNonQuerySQL('update notes set title = title || @suffix');
    const rows: KavoRow[] = db.select('select * from notes where id = @id', { id: Number(id) });
    const all: KavoRow[] = db.select('select * from notes');
    const deleted: number = db.del('notes', 'id', Number(id));
    const many: number = db.insertRows('notes', ['title'], [{ title: 'a' }, { title: 'b' }]);
    const manyMore: number = db.executeNonQuerySQLRows('delete from notes where title = @t', [{ t: 'a' }]);
    const batched: unknown[] = Kavo.batch([[db, 'get_DbName', []], [KavoDevice, 'getVersion', []]]);
    console.log(many, manyMore, batched.length);
    const plain: number = db.executeNonQuerySQL('delete from notes where title = :t', { t: 'x' });
    db.commitTransaction();
    db.rollbackTransaction();
    const error: string = db.get_LastError();
    db.closeDb();
    console.log(inserted, changed, affected, rows.length, all.length, deleted, plain, error);
    // @ts-expect-error fields are a list of names
    db.insert('notes', 'title', {});
}

const window2: KavoWindow | null = KavoFactory.createObject('Window');
if (window2) {
    window2.showModal('');
    window2.setInspector(null);
}
const other: ClientDb | KavoWindow | null = KavoFactory.createObject('Other');

KavoDevice.getRemoteDataExt(root + 'hello.json', 'hello', 'GET', '', '12~Content-Type16~application/json');
KavoDevice.showRemoteSite('https://www.example.com/');
const version: string = KavoDevice.getVersion();

function onUploadProgress(sent: number, total: number): void {
    console.log(sent, total);
}
KavoFile.uploadToServer(root + 'photo.png', 'https://api.example.com/upload', 'note', 'image/png', onUploadProgress.name);

KavoCamera.setCompressParams(640, 480, 80);
KavoCamera.importPicture();
KavoCamera.takePicture(80, false, 'png');
KavoCamera.rotatePicture(pictures[0], 90);
KavoCamera.clearPictures();

KavoNotification.showNotification(7, 'MyApp', 'hello');
KavoNotification.hideNotification(7);

KavoUpdate.beginUpdate('1.0.0.1', '', 'https://updates.example.com/MyApp-1.0.0.1.zip');

document.addEventListener('kavo.window.loaded', (e) => {
    const w: Window = e.window;
    const title: string = e.title;
    const success: false = e.success;
    console.log(w, title, success);
});
document.addEventListener('kavo.device.remote.data', (e) => {
    const ok: boolean = e.success;
    const id: string = e.id;
    const status: number | undefined = e.extras.status;
    const type: string | undefined = e.extras.headers ? e.extras.headers['Content-Type'] : undefined;
    const text: string = e.success ? e.response : (e.error ?? '');
    console.log(ok, id, status, type, text);
    // @ts-expect-error the response is text
    const n: number = e.response;
});
document.addEventListener('kavo.device.notification', (e) => {
    const id: string = e.id;
    console.log(id);
});
document.addEventListener('kavo.file.upload', (e) => {
    const path: string = e.localURL;
    console.log(e.success, path, e.error);
});
document.addEventListener('kavo.file.upload.busy', (e) => {
    const message: 'busy' = e.message;
    console.log(message);
});
document.addEventListener('kavo.camera.picture.add', (e) => {
    const name: string = e.filename;
    console.log(e.success, name);
});
document.addEventListener('kavo.camera.picture.cancel', (e) => {
    const success: false = e.success;
    console.log(success);
});
document.addEventListener('kavo.camera.picture.busy', (e) => {
    console.log(e.message);
});
document.addEventListener('kavo.camera.picture.clear', (e) => {
    const success: true = e.success;
    console.log(success);
});
document.addEventListener('kavo.update.end', (e) => {
    const v: string = e.info.version;
    console.log(e.success ? e.info.description : e.info.error, v);
});
document.addEventListener('kavo.update.error', (e) => {
    const v: string = e.info.version;
    const why: string = e.error;
    console.log(v, why);
});

function isKavoEvent(e: KavoEvent): boolean {
    return e.success;
}
const map: KavoEventMap | null = null;
console.log(other, version, isKavoEvent, map);
