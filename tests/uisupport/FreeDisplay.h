#pragma once
// The number of an X display nobody uses, for an Xvfb of a test's or benchmark's own.

#include <unistd.h>

#include <QFile>
#include <QString>

namespace glintward::testing {

// The first free display from an offset set by this process's id, so that runs side by side pick different
// ones; 0 when none is free.
inline int freeDisplayNumber() {
    for (int n = 90 + getpid() % 400; n < 1000; ++n) {
        if (!QFile::exists(QStringLiteral("/tmp/.X%1-lock").arg(n)) &&
            !QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(n))) {
            return n;
        }
    }
    return 0;
}

}  // namespace glintward::testing
