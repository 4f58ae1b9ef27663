#include "tray/SceneGraphBackend.h"

#include <gtest/gtest.h>

namespace glintward {
namespace {

TEST(SceneGraphBackendTest, OnlyMesasSoftwareRasterisersCountAsSoftware) {
    const std::pair<const char*, bool> cases[] = {
        {"llvmpipe (LLVM 15.0.6, 256 bits)", true},
        {"softpipe", true},
        {"Mesa X11 swrast", true},
        {"Software Rasterizer", true},
        // LLVM compiles shaders for real graphics cards too.
        {"AMD Radeon RX 580 Series (polaris10, LLVM 15.0.6, DRM 3.49, 6.1.0-18-amd64)", false},
        {"Mesa Intel(R) UHD Graphics 620 (KBL GT2)", false},
        {"NVIDIA GeForce GTX 1080/PCIe/SSE2", false},
        {"virgl (Intel(R) UHD Graphics 620 (KBL GT2))", false},
    };
    for (const auto& [renderer, software] : cases) {
        EXPECT_EQ(isSoftwareRasteriser(QString::fromLatin1(renderer)), software) << renderer;
    }
}

// Restores an environment variable when it goes out of scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value)
        : name_(name), had_(qEnvironmentVariableIsSet(name)), old_(qgetenv(name)) {
        if (value) {
            qputenv(name, value);
        } else {
            qunsetenv(name);
        }
    }
    ~ScopedEnv() {
        if (had_) {
            qputenv(name_, old_);
        } else {
            qunsetenv(name_);
        }
    }

private:
    const char* name_;
    bool had_;
    QByteArray old_;
};

TEST(SceneGraphBackendTest, SoftwareOnARasteriserOrWithoutOpenGlUnlessTheUserChose) {
    struct Case {
        const char* quickBackend;
        const char* rhiBackend;
        const char* renderer;
        bool software;
        bool probed;
    };
    const Case cases[] = {
        {nullptr, nullptr, "llvmpipe (LLVM 15.0.6, 256 bits)", true, true},
        {nullptr, nullptr, "", true, true},
        {nullptr, nullptr, "Mesa Intel(R) UHD Graphics 620 (KBL GT2)", false, true},
        {"rhi", nullptr, "llvmpipe (LLVM 15.0.6, 256 bits)", false, false},
        {nullptr, "opengl", "llvmpipe (LLVM 15.0.6, 256 bits)", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.renderer);
        ScopedEnv quick("QT_QUICK_BACKEND", c.quickBackend);
        ScopedEnv device("QMLSCENE_DEVICE", nullptr);
        ScopedEnv rhi("QSG_RHI_BACKEND", c.rhiBackend);
        bool probed = false;
        EXPECT_EQ(softwareBackendWanted([&] {
                      probed = true;
                      return QString::fromLatin1(c.renderer);
                  }),
                  c.software);
        EXPECT_EQ(probed, c.probed);
    }
}

}  // namespace
}  // namespace glintward
