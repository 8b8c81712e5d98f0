#pragma once

// Installs ":/images/defaultStyle" as the application's style sheet; false when the
// resource cannot be opened, and then the current sheet stays.
bool loadStyleSheet();
