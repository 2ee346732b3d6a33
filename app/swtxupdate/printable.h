#pragma once

#include <QString>

// text with its control characters written as \xHH, for the terminal: a
// device's error text could otherwise move the cursor, clear lines or draw a
// line of its own. The JSON log keeps the exact text.
QString printable(const QString &text);
