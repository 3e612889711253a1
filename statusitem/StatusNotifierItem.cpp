#include "statusitem/StatusNotifierItem.h"

#include "statusitem/MenuExporter.h"
#include "statusitem/StatusIcon.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QImage>
#include <QtEndian>

#include <unistd.h>

namespace Kestrune {

QDBusArgument& operator<<(QDBusArgument& arg, const StatusIconPixmap& pixmap) {
    arg.beginStructure();
    arg << pixmap.width << pixmap.height << pixmap.argb;
    arg.endStructure();
    return arg;
}

const QDBusArgument& operator>>(const QDBusArgument& arg, StatusIconPixmap& pixmap) {
    arg.beginStructure();
    arg >> pixmap.width >> pixmap.height >> pixmap.argb;
    arg.endStructure();
    return arg;
}

QDBusArgument& operator<<(QDBusArgument& arg, const StatusToolTip& tip) {
    arg.beginStructure();
    arg << tip.iconName << tip.pixmaps << tip.title << tip.text;
    arg.endStructure();
    return arg;
}

const QDBusArgument& operator>>(const QDBusArgument& arg, StatusToolTip& tip) {
    arg.beginStructure();
    arg >> tip.iconName >> tip.pixmaps >> tip.title >> tip.text;
    arg.endStructure();
    return arg;
}

namespace {

constexpr const char* watcherService = "org.kde.StatusNotifierWatcher";

void registerTypes() {
    static bool done = false;
    if (done)
        return;
    done = true;
    qDBusRegisterMetaType<StatusIconPixmap>();
    qDBusRegisterMetaType<StatusIconPixmaps>();
    qDBusRegisterMetaType<StatusToolTip>();
    MenuExporter::registerTypes();
}

} // namespace

StatusIconPixmaps statusIconPixmaps(const QIcon& icon) {
    StatusIconPixmaps out;
    for (int size : traySizes) {
        QImage image = icon.pixmap(size).toImage().convertToFormat(QImage::Format_ARGB32);
        if (image.isNull())
            continue;
        StatusIconPixmap pixmap{image.width(), image.height(), {}};
        pixmap.argb.resize(qsizetype(image.width()) * image.height() * 4);
        auto* to = reinterpret_cast<quint32*>(pixmap.argb.data());
        for (int y = 0; y < image.height(); ++y) {
            const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
            for (int x = 0; x < image.width(); ++x)
                *to++ = qToBigEndian<quint32>(line[x]);
        }
        out << pixmap;
    }
    return out;
}

StatusNotifierItem::StatusNotifierItem(QMenu* menu, const QString& themePath, QDBusConnection bus,
                                       QObject* parent)
    : QObject(parent), bus_(bus), themePath_(themePath), exporter_(new MenuExporter(menu, this)) {
    registerTypes();
    static int instance = 0;
    service_ = QString("org.kde.StatusNotifierItem-%1-%2").arg(::getpid()).arg(++instance);
    bus_.registerObject(path, this,
                        QDBusConnection::ExportScriptableContents |
                            QDBusConnection::ExportAllProperties);
    bus_.registerObject(MenuExporter::path, exporter_,
                        QDBusConnection::ExportScriptableContents |
                            QDBusConnection::ExportAllProperties);
    bus_.registerService(service_);
    registerWithWatcher();
}

StatusNotifierItem::~StatusNotifierItem() {
    // Giving up the name is what tells the watcher the item is gone.
    bus_.unregisterService(service_);
    bus_.unregisterObject(MenuExporter::path);
    bus_.unregisterObject(path);
}

void StatusNotifierItem::registerWithWatcher() {
    auto call = QDBusMessage::createMethodCall(watcherService, "/StatusNotifierWatcher",
                                               watcherService, "RegisterStatusNotifierItem");
    call << service_;
    bus_.asyncCall(call);
}

QDBusObjectPath StatusNotifierItem::menu() const {
    return QDBusObjectPath(MenuExporter::path);
}

void StatusNotifierItem::setIcon(const QString& name, const QIcon& pictures) {
    iconName_ = name;
    pixmaps_ = statusIconPixmaps(pictures);
    emit NewIcon();
    emit NewAttentionIcon();
}

void StatusNotifierItem::setToolTip(const QString& title, const QString& text) {
    if (toolTip_.title == title && toolTip_.text == text)
        return;
    toolTip_.title = title;
    toolTip_.text = text;
    emit NewToolTip();
}

void StatusNotifierItem::Activate(int x, int y) {
    emit menuRequested(QPoint(x, y));
}

void StatusNotifierItem::ContextMenu(int x, int y) {
    emit menuRequested(QPoint(x, y));
}

void StatusNotifierItem::SecondaryActivate(int, int) {}

void StatusNotifierItem::Scroll(int, const QString&) {}

} // namespace Kestrune
