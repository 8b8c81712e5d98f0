#pragma once

#include <QLoggingCategory>

// Debug lines of the program's parts, silent in normal runs. They are turned on with Qt's
// logging rules, for every part or one: QT_LOGGING_RULES="kavo.*.debug=true" or
// QT_LOGGING_RULES="kavo.httpserver.debug=true". Warnings are always written.
Q_DECLARE_LOGGING_CATEGORY(lcHttpServer)
Q_DECLARE_LOGGING_CATEGORY(lcZip)
Q_DECLARE_LOGGING_CATEGORY(lcDownload)
Q_DECLARE_LOGGING_CATEGORY(lcBridge)
