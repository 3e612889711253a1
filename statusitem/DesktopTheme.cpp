#include "statusitem/DesktopTheme.h"

#include "core/FileIO.h"
#include "core/Paths.h"

#include <QGuiApplication>
#include <QtEndian>
#include <QtGui/qguiapplication_platform.h>

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>

namespace Kestrune {

namespace {

// Reads the XSETTINGS blob from the owner of _XSETTINGS_S<screen>; empty without one.
QByteArray xsettingsBlob() {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t* c = x11 ? x11->connection() : nullptr;
    if (!c)
        return {};
    int screen = 0;
    if (const char* display = std::getenv("DISPLAY"))
        if (const char* dot = std::strrchr(display, '.'); dot && std::strchr(display, ':') < dot)
            screen = std::atoi(dot + 1);
    auto atom = [c](const std::string& name) -> xcb_atom_t {
        std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> r(
            xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(name.size()), name.c_str()),
                                  nullptr),
            &std::free);
        return r ? r->atom : xcb_atom_t(XCB_ATOM_NONE);
    };
    xcb_atom_t selection = atom("_XSETTINGS_S" + std::to_string(screen));
    xcb_atom_t settings = atom("_XSETTINGS_SETTINGS");
    if (selection == XCB_ATOM_NONE || settings == XCB_ATOM_NONE)
        return {};
    std::unique_ptr<xcb_get_selection_owner_reply_t, decltype(&std::free)> owner(
        xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, selection), nullptr),
        &std::free);
    if (!owner || owner->owner == XCB_WINDOW_NONE)
        return {};
    std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)> prop(
        xcb_get_property_reply(
            c, xcb_get_property(c, 0, owner->owner, settings, settings, 0, 1 << 20), nullptr),
        &std::free);
    if (!prop || prop->format != 8)
        return {};
    return QByteArray(static_cast<const char*>(xcb_get_property_value(prop.get())),
                      xcb_get_property_value_length(prop.get()));
}

} // namespace

std::optional<Appearance> themeNameAppearance(const QString& name) {
    if (name.contains("dark", Qt::CaseInsensitive))
        return Appearance::dark;
    return std::nullopt;
}

std::optional<QString> xsettingsString(const QByteArray& blob, const QByteArray& name) {
    const auto* data = reinterpret_cast<const uchar*>(blob.constData());
    const qsizetype size = blob.size();
    qsizetype at = 0;
    if (size < 12)
        return std::nullopt;
    bool big = data[0] == 1; // MSBFirst
    auto card16 = [&](qsizetype i) {
        return big ? qFromBigEndian<quint16>(data + i) : qFromLittleEndian<quint16>(data + i);
    };
    auto card32 = [&](qsizetype i) {
        return big ? qFromBigEndian<quint32>(data + i) : qFromLittleEndian<quint32>(data + i);
    };
    auto padded = [](quint64 n) { return (n + 3) & ~quint64(3); };
    quint32 count = card32(8);
    at = 12;
    for (quint32 i = 0; i < count; ++i) {
        if (size - at < 4)
            return std::nullopt;
        uchar type = data[at];
        quint64 nameLength = card16(at + 2);
        quint64 valueAt = at + 4 + padded(nameLength) + 4; // past the name and serial
        if (quint64(size) < valueAt)
            return std::nullopt;
        QByteArray key(blob.constData() + at + 4, qsizetype(nameLength));
        quint64 end = 0;
        switch (type) {
        case 0: // integer
            end = valueAt + 4;
            break;
        case 1: { // string
            if (quint64(size) < valueAt + 4)
                return std::nullopt;
            quint64 length = card32(qsizetype(valueAt));
            end = valueAt + 4 + padded(length);
            if (quint64(size) < valueAt + 4 + length)
                return std::nullopt;
            if (key == name)
                return QString::fromUtf8(blob.constData() + valueAt + 4, qsizetype(length));
            break;
        }
        case 2: // colour: four 16-bit channels
            end = valueAt + 8;
            break;
        default:
            return std::nullopt;
        }
        if (end > quint64(size))
            return std::nullopt;
        at = qsizetype(end);
    }
    return std::nullopt;
}

std::optional<Appearance> gtkSettingsAppearance(const std::string& ini) {
    std::istringstream lines(ini);
    std::string line;
    std::optional<Appearance> byName;
    while (std::getline(lines, line)) {
        auto eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        QString key = QString::fromStdString(line.substr(0, eq)).trimmed();
        QString value = QString::fromStdString(line.substr(eq + 1)).trimmed();
        if (key == "gtk-application-prefer-dark-theme" && (value == "1" || value == "true"))
            return Appearance::dark;
        if (key == "gtk-theme-name")
            byName = themeNameAppearance(value);
    }
    return byName;
}

std::optional<QString> lxqtThemeName(const std::string& conf) {
    std::istringstream lines(conf);
    std::string line;
    bool general = false;
    while (std::getline(lines, line)) {
        QString text = QString::fromStdString(line).trimmed();
        if (text.startsWith('[')) {
            general = text == "[General]";
            continue;
        }
        auto eq = text.indexOf('=');
        if (general && eq > 0 && text.left(eq).trimmed() == "theme")
            return text.mid(eq + 1).trimmed();
    }
    return std::nullopt;
}

std::optional<Appearance> desktopThemeAppearance() {
    const char* desktop = std::getenv("XDG_CURRENT_DESKTOP");
    if (desktop && QString::fromUtf8(desktop).split(':').contains("LXQt", Qt::CaseInsensitive)) {
        // LXQt reads the user's file, then the system's defaults.
        for (const std::string& file :
             {KestruneCore::baseFolders().config + "/lxqt/lxqt.conf",
              std::string("/etc/xdg/lxqt/lxqt.conf"), std::string("/usr/share/lxqt/lxqt.conf")})
            if (auto conf = KestruneCore::readFile(file))
                if (auto name = lxqtThemeName(*conf))
                    return themeNameAppearance(*name);
    }
    if (auto name = xsettingsString(xsettingsBlob(), "Net/ThemeName"))
        return themeNameAppearance(*name);
    if (const char* theme = std::getenv("GTK_THEME"); theme && *theme)
        return themeNameAppearance(QString::fromUtf8(theme));
    auto ini = KestruneCore::readFile(KestruneCore::baseFolders().config + "/gtk-3.0/settings.ini");
    return ini ? gtkSettingsAppearance(*ini) : std::nullopt;
}

} // namespace Kestrune
