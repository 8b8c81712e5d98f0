#include "utf8decoder.h"

#include <QtGlobal>

#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
#include <QStringDecoder>

struct Utf8Decoder::State
{
    QStringDecoder decoder{QStringDecoder::Utf8};
};

QString Utf8Decoder::decode(const QByteArray &bytes)
{
    return m_state->decoder.decode(bytes);
}
#else
#include <QTextCodec>

struct Utf8Decoder::State
{
    std::unique_ptr<QTextDecoder> decoder{QTextCodec::codecForName("UTF-8")->makeDecoder()};
};

QString Utf8Decoder::decode(const QByteArray &bytes)
{
    return m_state->decoder->toUnicode(bytes);
}
#endif

Utf8Decoder::Utf8Decoder()
    : m_state(new State)
{
}

Utf8Decoder::~Utf8Decoder() = default;
