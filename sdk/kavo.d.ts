// Type declarations of the page API of Kavo: the page global `Kavo`, the six bridge objects, the
// objects made through `KavoFactory`, and every `kavo.*` event (docs/page-api.md describes each).
// Use it as an ambient declaration file: `/// <reference path="kavo.d.ts" />` or list it in
// tsconfig.json's "files". Bridge calls are synchronous; asynchronous results arrive as events.

/** A row of `ClientDb.select`: column name to value. */
interface KavoRow {
    [column: string]: string | number | boolean | null;
}

/** Parameters of `select` and `executeNonQuerySQL`: `name` or `@name` (both bind `:name`) to value. */
interface KavoSqlParams {
    [name: string]: string | number | boolean | Date | null;
}

/** A local SQLite database; made by `KavoFactory.createObject('ClientDb')`. */
interface ClientDb {
    /** Message of the last failure, '' after a success. */
    get_LastError(): string;
    get_FieldNameToLower(): boolean;
    /** Lower-case the column names of `select` rows. */
    set_FieldNameToLower(value: boolean): void;
    /** The row id of the last `insert`. */
    get_LastInsertedId(): number | string | null;
    get_DbName(): string;
    /** Opens an existing database file (relative names: from the installation folder). */
    set_DbName(dbName: string): void;
    beginTransaction(): void;
    commitTransaction(): void;
    rollbackTransaction(): void;
    closeDb(): void;
    /** Rows inserted, or -1. */
    insert(tableName: string, fields: string[], values: KavoSqlParams): number;
    /** Rows changed, or -1. */
    update(tableName: string, primaryKey: string, fields: string[], values: KavoSqlParams): number;
    /** The rows; [] on failure or when the text holds no "select". */
    select(sql: string, params?: KavoSqlParams): KavoRow[];
    /** Rows deleted, or -1. */
    del(tableName: string, field: string, value: string | number | boolean | Date): number;
    /** Rows affected, or -1. */
    executeNonQuerySQL(sql: string, params?: KavoSqlParams): number;
    /** `insert` for each row, in one transaction; rows inserted, or -1 at the first failing row. */
    insertRows(tableName: string, fields: string[], rows: KavoSqlParams[]): number;
    /** `executeNonQuerySQL` for each params object, in one transaction; rows affected, or -1. */
    executeNonQuerySQLRows(sql: string, paramRows: KavoSqlParams[]): number;
    /** Queues a parameter for the next `select` or `executeNonQuerySQL`. */
    addParameter(parameterName: string, value: string | number | boolean | Date | null): void;
}

/** A Kavo browser window; made by `KavoFactory.createObject('Window')`. */
interface KavoWindow {
    /** Shows and activates the window; `url` is not used. */
    showModal(url: string): void;
    /** Toggles the visibility of a web inspector object. */
    setInspector(inspector: object | null): void;
}

interface KavoFactory {
    createObject(type: 'ClientDb'): ClientDb | null;
    createObject(type: 'Window'): KavoWindow | null;
    /** Any other type name gives null. */
    createObject(type: string): ClientDb | KavoWindow | null;
}

interface KavoDevice {
    /** Answered by `kavo.device.remote.data` events carrying `id`. `headers` is a chain such as
     * '12~Content-Type16~application/json'. The request is always a POST. */
    getRemoteDataExt(url: string, id: string, method: string, body: string, headers: string): void;
    /** Opens url in the desktop's browser. */
    showRemoteSite(url: string): void;
    /** The installed version from qt.conf. */
    getVersion(): string;
}

interface KavoFile {
    /** Posts a local file as multipart/form-data; `updateCallBack` names a global function
     * called as `callback(bytesSent, bytesTotal)`. Answered by `kavo.file.upload`. */
    uploadToServer(picUrl: string, uploadUrl: string, dataFiled: string, dataType: string,
                   updateCallBack: string): void;
}

interface KavoCamera {
    importPicture(): void;
    /** The arguments are accepted and not used. */
    takePicture(quality: number, bSaveToLib: boolean, picType: string): void;
    setCompressParams(cpsWidth: number, cpsHeight: number, cpsQulity: number): void;
    rotatePicture(picUrl: string, angle: number): void;
    clearPictures(): void;
}

interface KavoNotification {
    showNotification(id: number, title: string, content: string): void;
    hideNotification(id: number): void;
}

interface KavoUpdate {
    /** Starts a self-update; answered by `kavo.update.end` after the restart or by
     * `kavo.update.error`. `description` is not used. */
    beginUpdate(version: string, description: string, url: string): void;
}

/** One call of `Kavo.batch`: a bridge object, the name of one of its methods, the arguments. */
type KavoBatchCall = [object, string, unknown[]];

/** The page global the window creates in every trusted document (a page may declare it too). */
interface KavoGlobal {
    /** Runs the calls in order in one bridge call and returns their results in order. */
    batch(calls: KavoBatchCall[]): unknown[];
    /** `http://localhost:58899/data/<App>/`, set after every page load. */
    webRoot: string;
    /** Names of the pictures taken or imported in this page. */
    picturelist: string[];
}

/** The properties every Kavo event carries. */
interface KavoEvent extends Event {
    success: boolean;
}

interface KavoWindowLoadedEvent extends KavoEvent {
    success: false;
    window: Window;
    title: string;
}

interface KavoRemoteDataEvent extends KavoEvent {
    /** The id given to `getRemoteDataExt`. */
    id: string;
    /** The body text (or this piece of it); '' on failure. */
    response: string;
    /** HTTP status and answer headers; {} on failure. Header names may arrive in lower case:
     * compare them case-insensitively. */
    extras: { status?: number; headers?: { [name: string]: string } };
    /** Set on failure. */
    error?: string;
}

interface KavoNotificationEvent extends KavoEvent {
    success: true;
    /** The notification's id, as a string. */
    id: string;
}

interface KavoFileUploadEvent extends KavoEvent {
    /** The local path of the uploaded file. */
    localURL: string;
    /** Set on failure. */
    error?: string;
}

interface KavoBusyEvent extends KavoEvent {
    success: false;
    message: 'busy';
}

interface KavoPictureAddEvent extends KavoEvent {
    /** The picture's name in the cache (on a failed import of a file without suffix: its path). */
    filename: string;
}

interface KavoPictureCancelEvent extends KavoEvent {
    success: false;
}

interface KavoPictureClearEvent extends KavoEvent {
    success: true;
}

interface KavoUpdateEndEvent extends KavoEvent {
    info: { version: string; description?: string; error?: string };
}

interface KavoUpdateErrorEvent extends KavoEvent {
    success: false;
    info: { version: string };
    error: string;
}

interface KavoEventMap {
    'kavo.window.loaded': KavoWindowLoadedEvent;
    'kavo.device.remote.data': KavoRemoteDataEvent;
    'kavo.device.notification': KavoNotificationEvent;
    'kavo.file.upload': KavoFileUploadEvent;
    'kavo.file.upload.busy': KavoBusyEvent;
    'kavo.camera.picture.add': KavoPictureAddEvent;
    'kavo.camera.picture.cancel': KavoPictureCancelEvent;
    'kavo.camera.picture.busy': KavoBusyEvent;
    'kavo.camera.picture.clear': KavoPictureClearEvent;
    'kavo.update.end': KavoUpdateEndEvent;
    'kavo.update.error': KavoUpdateErrorEvent;
}

// The events are raised on document, so document.addEventListener knows their types.
interface DocumentEventMap extends KavoEventMap {}

declare var Kavo: KavoGlobal;
declare var KavoFactory: KavoFactory;
declare var KavoDevice: KavoDevice;
declare var KavoFile: KavoFile;
declare var KavoCamera: KavoCamera;
declare var KavoNotification: KavoNotification;
declare var KavoUpdate: KavoUpdate;
