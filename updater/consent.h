#pragma once

#include <QObject>
#include <QString>

#include <functional>

// Asks the user whether to install the downloaded update now, through a desktop notification
// of layout 0 (title and one action button, no fading). answer receives the notification's
// command: 0 when its button was pressed, anything else when it was closed or dismissed.
// In test builds (KAVO_TEST_SWITCHES), unattended runs (KAVO_NONINTERACTIVE=1) take the answer
// from KAVO_UPDATE_CONSENT: "yes" presses the button, any other value closes the notification;
// the text goes to stderr. The programs users get always ask the user.
QObject *showUpdateConsent(const QString &title, const QString &text, QObject *context,
                           const std::function<void(int)> &answer);
