#include <QApplication>

#include "mac/GlintwardMacApp.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    glintward::GlintwardMacApp glintward;
    return app.exec();
}
