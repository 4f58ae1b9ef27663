#include <QApplication>

#include "tray/GlintwardTrayApp.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    glintward::GlintwardTrayApp glintward;
    return app.exec();
}
