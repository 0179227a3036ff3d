// Alt+X on a real X server: a private Xvfb, key presses sent through the
// XTEST extension, and other clients that compete for the same keys.
#include "platform/OtPlatform.h"
#include "platform/OtX11HotKey.h"

#include <QApplication>
#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

namespace {

using namespace ot;

constexpr uint32_t kAltL = 0xffe9, kControlL = 0xffe3, kCapsLock = 0xffe5, kNumLock = 0xff7f;
constexpr uint32_t kX = 0x78, kY = 0x79;

// An Xvfb of our own and the QApplication on it; nothing when Xvfb is not
// installed (the tests then skip).
class XServer : public ::testing::Environment {
public:
    static inline std::string sDisplay;

    void SetUp() override {
        int fds[2];
        if (access("/usr/bin/Xvfb", X_OK) != 0 || pipe(fds) != 0) {
            return;
        }
        FPid = fork();
        if (FPid == 0) {
            close(fds[0]);
            const std::string fd = std::to_string(fds[1]);
            execl("/usr/bin/Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp", "-screen",
                  "0", "640x480x24", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        std::string number;
        char ch;
        while (read(fds[0], &ch, 1) == 1 && ch != '\n') {
            number += ch;
        }
        close(fds[0]);
        if (number.empty()) {
            return;
        }
        sDisplay = ":" + number;
        setenv("DISPLAY", sDisplay.c_str(), 1);
        setenv("QT_QPA_PLATFORM", "xcb", 1);
        static int argc = 1;
        static char name[] = "test_hotkey_x11";
        static char* argv[] = {name, nullptr};
        FApp = std::make_unique<QApplication>(argc, argv);
    }
    void TearDown() override {
        FApp.reset();
        if (FPid > 0) {
            kill(FPid, SIGTERM);
            waitpid(FPid, nullptr, 0);
        }
    }

private:
    pid_t FPid = -1;
    std::unique_ptr<QApplication> FApp;
};
[[maybe_unused]] const auto* const kXServer = ::testing::AddGlobalTestEnvironment(new XServer);

// Another client of the same display.
class Client {
public:
    Client() : FConnection(xcb_connect(XServer::sDisplay.c_str(), nullptr)) {
        FRoot = xcb_setup_roots_iterator(xcb_get_setup(FConnection)).data->root;
    }
    ~Client() { xcb_disconnect(FConnection); }

    uint8_t Keycode(uint32_t keysym) const {
        const auto codes = X11KeycodesFor(FConnection, keysym);
        EXPECT_FALSE(codes.empty()) << std::hex << keysym;
        return codes.empty() ? 0 : codes.front();
    }
    // Presses the keys in order and releases them in reverse, as a user would.
    void Press(std::initializer_list<uint32_t> keysyms) {
        std::vector<uint8_t> codes;
        for (uint32_t k : keysyms) {
            codes.push_back(Keycode(k));
            xcb_test_fake_input(FConnection, XCB_KEY_PRESS, codes.back(), XCB_CURRENT_TIME,
                                XCB_NONE, 0, 0, 0);
        }
        for (auto it = codes.rbegin(); it != codes.rend(); ++it) {
            xcb_test_fake_input(FConnection, XCB_KEY_RELEASE, *it, XCB_CURRENT_TIME, XCB_NONE, 0, 0,
                                0);
        }
        free(xcb_get_input_focus_reply(FConnection, xcb_get_input_focus(FConnection), nullptr));
    }
    // True when the grab succeeded.
    bool Grab(uint32_t keysym, uint16_t modifiers) {
        xcb_generic_error_t* error = xcb_request_check(
            FConnection, xcb_grab_key_checked(FConnection, 1, FRoot, modifiers, Keycode(keysym),
                                              XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
        free(error);
        return error == nullptr;
    }

private:
    xcb_connection_t* FConnection;
    xcb_window_t FRoot = 0;
};

// Lets Qt deliver events until done() holds or five seconds passed.
bool ProcessUntil(const std::function<bool()>& done) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < 5000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return done();
}

class X11HotKeyTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (XServer::sDisplay.empty()) {
            GTEST_SKIP() << "no Xvfb";
        }
        FPlatform = CreateDesktopPlatform();
        QObject::connect(FPlatform.get(), &TOtPlatform::hotKeyPressed, [this] { ++FPressed; });
        // Alt+Y, registered after Alt+X, marks how far the key events have
        // been delivered: X hands one client its events in order.
        FMarker = std::make_unique<TX11HotKey>(kY, XCB_MOD_MASK_1, [this] { ++FMarkers; });
    }
    void TearDown() override {
        FMarker.reset();
        FPlatform.reset();
    }
    // Presses Alt+Y and waits until it arrived, so every earlier key has.
    void Sync() {
        const int expected = FMarkers + 1;
        FInput.Press({kAltL, kY});
        ASSERT_TRUE(ProcessUntil([&] { return FMarkers == expected; }));
    }

    std::unique_ptr<TOtPlatform> FPlatform;
    std::unique_ptr<TX11HotKey> FMarker;
    Client FInput;
    int FPressed = 0;
    int FMarkers = 0;
};

TEST_F(X11HotKeyTest, AltXReachesTheProgramWhateverTheLockKeys) {
    ASSERT_TRUE(FPlatform->RegisterHotKey());
    ASSERT_TRUE(FMarker->Register());

    FInput.Press({kAltL, kX});
    Sync();
    EXPECT_EQ(FPressed, 1);

    // Other combinations of the key are not ours.
    FInput.Press({kX});
    FInput.Press({kControlL, kAltL, kX});
    Sync();
    EXPECT_EQ(FPressed, 1);

    for (uint32_t lock : {kCapsLock, kNumLock}) {
        FInput.Press({lock});
        FInput.Press({kAltL, kX});
        FInput.Press({lock});
        Sync();
    }
    EXPECT_EQ(FPressed, 3);

    FPlatform->UnregisterHotKey();
    FInput.Press({kAltL, kX});
    Sync();
    EXPECT_EQ(FPressed, 3);
}

TEST_F(X11HotKeyTest, HeldByAnotherClientIsNotRegisteredAndLeavesNothingGrabbed) {
    {
        Client other;
        ASSERT_TRUE(other.Grab(kX, XCB_MOD_MASK_1));
        EXPECT_FALSE(FPlatform->RegisterHotKey());
    }
    {
        // Held only with CapsLock on: the grabs made before the conflict are
        // given back, so a third client gets plain Alt+X.
        Client other;
        ASSERT_TRUE(other.Grab(kX, XCB_MOD_MASK_1 | XCB_MOD_MASK_LOCK));
        EXPECT_FALSE(FPlatform->RegisterHotKey());
        Client third;
        EXPECT_TRUE(third.Grab(kX, XCB_MOD_MASK_1));
    }
    // Once the others are gone, the key can be had.
    ASSERT_TRUE(FPlatform->RegisterHotKey());
    ASSERT_TRUE(FMarker->Register());
    FInput.Press({kAltL, kX});
    Sync();
    EXPECT_EQ(FPressed, 1);
}

} // namespace
