#pragma once

#include "zip/packageresources.h"

#include <QString>

class HttpRequest;
class HttpResponse;

// Answers a request with a file below the root: from a zip package first, then from the
// file system. Paths never leave the root, and foreign Host names are refused, so a web
// page elsewhere cannot read the installation through DNS rebinding.
class StaticFileHandler
{
    Q_DISABLE_COPY(StaticFileHandler)
public:
    explicit StaticFileHandler(const QString &rootDir);

    QString rootDir() const { return m_root; }
    void handle(HttpRequest *request, HttpResponse *response);

    // Files up to this size are read whole; larger ones are streamed.
    static const qint64 WholeReadLimit = 1024 * 1024;

    static bool isAllowedHost(const QString &hostHeader);
    static bool isSafePath(const QString &path);

private:
    QString m_root;
    PackageResources m_packages;
};
