#pragma once

// How a download-mode run of the updater ended, as its exit code: the main program turns a
// failure into the page's "kavo.update.error" without reading the updater's log.
namespace UpdaterExit {
enum Code {
    Done = 0,
    BadArguments = 1,
    DownloadFailed = 2,
    SignatureMissing = 3,
    SignatureRejected = 4,
    UnpackFailed = 5,
    // The announced version is not newer than the running one.
    NotNewer = 6,
    // The unpacked package's qt.conf names another application or another version.
    WrongPackage = 7,
};
} // namespace UpdaterExit
