#include "platform/OtX11HotKey.h"

#include <QGuiApplication>

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

namespace ot {

namespace {

constexpr uint32_t kNumLockKeysym = 0xff7f;

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <typename T> using XcbReply = std::unique_ptr<T, FreeDeleter>;

} // namespace

std::vector<uint8_t> X11KeycodesFor(xcb_connection_t* c, uint32_t keysym) {
    const xcb_setup_t* setup = xcb_get_setup(c);
    const int first = setup->min_keycode;
    const int count = setup->max_keycode - setup->min_keycode + 1;
    XcbReply<xcb_get_keyboard_mapping_reply_t> reply(xcb_get_keyboard_mapping_reply(
        c, xcb_get_keyboard_mapping(c, setup->min_keycode, static_cast<uint8_t>(count)), nullptr));
    std::vector<uint8_t> codes;
    if (!reply) {
        return codes;
    }
    const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(reply.get());
    const int perCode = reply->keysyms_per_keycode;
    const int total = xcb_get_keyboard_mapping_keysyms_length(reply.get());
    for (int i = 0; i < count && (i + 1) * perCode <= total; ++i) {
        for (int j = 0; j < perCode; ++j) {
            if (syms[i * perCode + j] == keysym) {
                codes.push_back(static_cast<uint8_t>(first + i));
                break;
            }
        }
    }
    return codes;
}

namespace {

// The modifier bit that NumLock sets on this display (usually Mod2).
uint16_t NumLockMask(xcb_connection_t* c) {
    const std::vector<uint8_t> numLock = X11KeycodesFor(c, kNumLockKeysym);
    XcbReply<xcb_get_modifier_mapping_reply_t> reply(
        xcb_get_modifier_mapping_reply(c, xcb_get_modifier_mapping(c), nullptr));
    if (!reply || numLock.empty()) {
        return XCB_MOD_MASK_2;
    }
    const xcb_keycode_t* codes = xcb_get_modifier_mapping_keycodes(reply.get());
    const int perModifier = reply->keycodes_per_modifier;
    for (int m = 0; m < 8; ++m) {
        for (int k = 0; k < perModifier; ++k) {
            for (uint8_t code : numLock) {
                if (codes[m * perModifier + k] == code) {
                    return static_cast<uint16_t>(1u << m);
                }
            }
        }
    }
    return XCB_MOD_MASK_2;
}

} // namespace

TX11HotKey::TX11HotKey(uint32_t keysym, uint16_t modifiers, std::function<void()> onPressed)
    : FKeysym(keysym), FModifiers(modifiers), FOnPressed(std::move(onPressed)) {}

TX11HotKey::~TX11HotKey() {
    Unregister();
}

bool TX11HotKey::Register() {
    if (IsRegistered()) {
        return true;
    }
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t* c = x11 ? x11->connection() : nullptr;
    if (!c) {
        return false;
    }
    FConnection = c;
    FRoot = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    FKeycodes = X11KeycodesFor(c, FKeysym);
    FIgnoredModifiers = static_cast<uint16_t>(XCB_MOD_MASK_LOCK | NumLockMask(c));

    const uint16_t lock = XCB_MOD_MASK_LOCK;
    const uint16_t num = static_cast<uint16_t>(FIgnoredModifiers & ~lock);
    bool ok = !FKeycodes.empty();
    for (uint8_t code : FKeycodes) {
        for (uint16_t extra : {uint16_t{0}, lock, num, static_cast<uint16_t>(lock | num)}) {
            if (!ok) {
                break;
            }
            const uint16_t mods = static_cast<uint16_t>(FModifiers | extra);
            XcbReply<xcb_generic_error_t> error(xcb_request_check(
                c, xcb_grab_key_checked(c, 1, FRoot, mods, code, XCB_GRAB_MODE_ASYNC,
                                        XCB_GRAB_MODE_ASYNC)));
            if (error) {
                ok = false;
            } else {
                FGrabbed.emplace_back(code, mods);
            }
        }
    }
    if (!ok) {
        Unregister();
        return false;
    }
    QCoreApplication::instance()->installNativeEventFilter(this);
    return true;
}

void TX11HotKey::Unregister() {
    if (QCoreApplication::instance()) {
        QCoreApplication::instance()->removeNativeEventFilter(this);
    }
    // The connection goes with the application; a late call must not use it.
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (FConnection && x11 && x11->connection() == FConnection) {
        for (const auto& [code, mods] : FGrabbed) {
            xcb_ungrab_key(FConnection, code, FRoot, mods);
        }
        xcb_flush(FConnection);
    }
    FGrabbed.clear();
}

bool TX11HotKey::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
    if (eventType != "xcb_generic_event_t" || !IsRegistered()) {
        return false;
    }
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    if ((event->response_type & 0x7f) != XCB_KEY_PRESS) {
        return false;
    }
    const auto* key = reinterpret_cast<const xcb_key_press_event_t*>(event);
    if (key->event != FRoot) {
        return false;
    }
    const uint16_t state = static_cast<uint16_t>(key->state & ~FIgnoredModifiers & 0xff);
    for (const auto& grabbed : FGrabbed) {
        if (grabbed.first == key->detail && state == FModifiers) {
            if (FOnPressed) {
                FOnPressed();
            }
            return true;
        }
    }
    return false;
}

} // namespace ot
