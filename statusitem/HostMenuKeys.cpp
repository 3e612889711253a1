#include "statusitem/HostMenuKeys.h"

#include <QAction>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QKeySequence>
#include <QMenu>

#include <xcb/xcb.h>
#include <xcb/xinput.h>

#include <cstdlib>
#include <memory>

namespace Kestrune {

namespace {

// A menu the host forgot to report closed must not keep catching keys.
constexpr qint64 longestWatchMs = 30'000;

constexpr std::uint32_t controlLeft = 0xffe3, controlRight = 0xffe4, escape = 0xff1b,
                        enter = 0xff0d, keypadEnter = 0xff8d;

xcb_connection_t* x11Connection() {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

template <typename T> using Reply = std::unique_ptr<T, decltype(&std::free)>;

} // namespace

HostMenuKeys::HostMenuKeys(QMenu* menu) : QObject(menu), menu_(menu) {
    connect(menu, &QMenu::aboutToShow, this, &HostMenuKeys::start);
    connect(menu, &QMenu::aboutToHide, this, &HostMenuKeys::stop);
}

HostMenuKeys::~HostMenuKeys() {
    stop();
}

void HostMenuKeys::start() {
    xcb_connection_t* c = x11Connection();
    if (!c || watching_)
        return;
    if (!inputOpcode_) {
        const xcb_query_extension_reply_t* ext = xcb_get_extension_data(c, &xcb_input_id);
        if (!ext || !ext->present)
            return;
        // Raw events reach every listener, grabbed keyboard or not, from version 2.1.
        Reply<xcb_input_xi_query_version_reply_t> version(
            xcb_input_xi_query_version_reply(c, xcb_input_xi_query_version(c, 2, 2), nullptr),
            &std::free);
        if (!version || (version->major_version == 2 && version->minor_version < 1))
            return;
        inputOpcode_ = ext->major_opcode;
        const xcb_setup_t* setup = xcb_get_setup(c);
        int count = setup->max_keycode - setup->min_keycode + 1;
        Reply<xcb_get_keyboard_mapping_reply_t> map(
            xcb_get_keyboard_mapping_reply(
                c, xcb_get_keyboard_mapping(c, setup->min_keycode, count), nullptr),
            &std::free);
        if (map && map->keysyms_per_keycode > 0) {
            const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(map.get());
            for (int i = 0; i < count; ++i)
                keysyms_[setup->min_keycode + i] = syms[i * map->keysyms_per_keycode];
        }
    }
    controls_ = 0;
    watching_ = true;
    since_.start();
    QCoreApplication::instance()->installNativeEventFilter(this);
    select(XCB_INPUT_XI_EVENT_MASK_RAW_KEY_PRESS | XCB_INPUT_XI_EVENT_MASK_RAW_KEY_RELEASE |
           XCB_INPUT_XI_EVENT_MASK_RAW_BUTTON_PRESS);
}

void HostMenuKeys::stop() {
    if (!watching_)
        return;
    watching_ = false;
    select(0);
    if (QCoreApplication::instance())
        QCoreApplication::instance()->removeNativeEventFilter(this);
}

void HostMenuKeys::select(std::uint32_t mask) {
    xcb_connection_t* c = x11Connection();
    if (!c)
        return;
    struct {
        xcb_input_event_mask_t head;
        std::uint32_t bits;
    } request{{XCB_INPUT_DEVICE_ALL_MASTER, 1}, mask};
    xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    xcb_input_xi_select_events(c, root, 1, &request.head);
    xcb_flush(c);
}

std::optional<int> HostMenuKeys::keyOf(std::uint32_t keycode) const {
    auto it = keysyms_.find(keycode);
    if (it == keysyms_.end())
        return std::nullopt;
    std::uint32_t sym = it->second;
    if (sym >= 'a' && sym <= 'z')
        return int(sym - 'a' + 'A');
    // Printable ASCII key symbols equal Qt's key codes.
    if (sym > 0x20 && sym < 0x7f)
        return int(sym);
    return std::nullopt;
}

bool HostMenuKeys::nativeEventFilter(const QByteArray& type, void* message, qintptr*) {
    if (!watching_ || type != "xcb_generic_event_t" || !inputOpcode_)
        return false;
    auto* event = static_cast<xcb_generic_event_t*>(message);
    if ((event->response_type & 0x7f) != XCB_GE_GENERIC)
        return false;
    auto* ge = reinterpret_cast<xcb_ge_generic_event_t*>(event);
    if (ge->extension != *inputOpcode_)
        return false;
    if (!menu_ || since_.elapsed() > longestWatchMs ||
        ge->event_type == XCB_INPUT_RAW_BUTTON_PRESS) {
        // A click chooses an item or closes the menu; either way it is over.
        stop();
        return false;
    }
    if (ge->event_type != XCB_INPUT_RAW_KEY_PRESS && ge->event_type != XCB_INPUT_RAW_KEY_RELEASE)
        return false;
    auto* raw = reinterpret_cast<xcb_input_raw_key_press_event_t*>(event);
    bool press = ge->event_type == XCB_INPUT_RAW_KEY_PRESS;
    auto sym = keysyms_.find(raw->detail);
    std::uint32_t keysym = sym == keysyms_.end() ? 0 : sym->second;
    if (keysym == controlLeft || keysym == controlRight) {
        controls_ = std::max(0, controls_ + (press ? 1 : -1));
        return false;
    }
    if (!press)
        return false;
    if (keysym == escape || keysym == enter || keysym == keypadEnter) {
        stop();
        return false;
    }
    // Our own menu on screen handles its keys itself.
    auto key = keyOf(raw->detail);
    if (!key || controls_ == 0 || menu_->isVisible())
        return false;
    QKeySequence pressed(QKeyCombination(Qt::ControlModifier, Qt::Key(*key)));
    for (QAction* action : menu_->actions()) {
        if (action->isEnabled() && !action->shortcut().isEmpty() &&
            action->shortcut().matches(pressed) == QKeySequence::ExactMatch) {
            stop();
            // Outside the event filter: the command may end the program.
            QMetaObject::invokeMethod(action, &QAction::trigger, Qt::QueuedConnection);
            break;
        }
    }
    return false;
}

} // namespace Kestrune
