#include "debuglog.h"

// Info and above by default: debug lines only when the rules ask for them.
Q_LOGGING_CATEGORY(lcHttpServer, "kavo.httpserver", QtInfoMsg)
Q_LOGGING_CATEGORY(lcZip, "kavo.zip", QtInfoMsg)
Q_LOGGING_CATEGORY(lcDownload, "kavo.download", QtInfoMsg)
Q_LOGGING_CATEGORY(lcBridge, "kavo.bridge", QtInfoMsg)
