#pragma once
// A system-wide key combination on an X11 display: the key is grabbed on the
// root window (with every NumLock/CapsLock state, which X counts as
// modifiers), and the key presses arrive through Qt's native event filter.

#include <QAbstractNativeEventFilter>

#include <cstdint>
#include <functional>
#include <vector>

struct xcb_connection_t;

namespace ot {

// Every keycode of the display's keyboard map that yields keysym.
std::vector<uint8_t> X11KeycodesFor(xcb_connection_t* c, uint32_t keysym);

class TX11HotKey : public QAbstractNativeEventFilter {
public:
    // keysym and the X modifier mask (Mod1 = Alt) of the combination.
    TX11HotKey(uint32_t keysym, uint16_t modifiers, std::function<void()> onPressed);
    ~TX11HotKey() override;
    TX11HotKey(const TX11HotKey&) = delete;
    TX11HotKey& operator=(const TX11HotKey&) = delete;

    // False where the application has no X11 connection (Wayland, offscreen)
    // or another client holds the combination; nothing stays grabbed then.
    bool Register();
    void Unregister();
    bool IsRegistered() const { return !FGrabbed.empty(); }

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

private:
    uint32_t FKeysym;
    uint16_t FModifiers;
    std::function<void()> FOnPressed;
    xcb_connection_t* FConnection = nullptr;
    uint32_t FRoot = 0;
    std::vector<uint8_t> FKeycodes;
    uint16_t FIgnoredModifiers = 0;
    // (keycode, modifiers) pairs grabbed on the root window.
    std::vector<std::pair<uint8_t, uint16_t>> FGrabbed;
};

} // namespace ot
