#pragma once

#include <QString>

// Messages for the user go to stderr, prefixed with the program's name.
void printError(const QString &message);
void printWarning(const QString &message);
