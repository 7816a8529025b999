#pragma once

#include <QStringList>

// Captures the console lines written while it lives and sends later ones back where they went before.
// One at a time, on the test's thread.
class ConsoleCapture final
{
public:
    ConsoleCapture();
    ~ConsoleCapture();
    ConsoleCapture(const ConsoleCapture &) = delete;
    ConsoleCapture &operator=(const ConsoleCapture &) = delete;

    // The messages written so far, without the console's time and process prefix.
    QStringList messages() const;

private:
    int m_file = -1;
    int m_previousDescriptor = -1;
};
