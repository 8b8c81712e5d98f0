#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

// Decodes UTF-8 arriving in pieces: a character split between two pieces comes out whole with
// the second one. Malformed bytes become U+FFFD.
class Utf8Decoder
{
    Q_DISABLE_COPY(Utf8Decoder)
public:
    Utf8Decoder();
    ~Utf8Decoder();

    QString decode(const QByteArray &bytes);

private:
    struct State;
    std::unique_ptr<State> m_state;
};
