// The status icon as a StatusNotifierItem of our own on the session bus: the host
// draws our menu (exported beside it) on either click, and can draw the state as a
// themed symbolic icon from our own icon theme folder, recoloured for its panel, or
// from the drawn pictures where it ignores icon names. Registers with the host's
// watcher, again each time a watcher takes the name.
#pragma once

#include <QByteArray>
#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QIcon>
#include <QList>
#include <QObject>
#include <QPoint>
#include <QString>

class QDBusServiceWatcher;
class QMenu;

namespace Kestrune {

class MenuExporter;

// One picture: width, height and ARGB32 pixels in network byte order, (iiay).
struct StatusIconPixmap {
    int width = 0;
    int height = 0;
    QByteArray argb;
};
using StatusIconPixmaps = QList<StatusIconPixmap>;

// (sa(iiay)ss): icon name, pictures, title, text.
struct StatusToolTip {
    QString iconName;
    StatusIconPixmaps pixmaps;
    QString title;
    QString text;
};

class StatusNotifierItem : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierItem")
    Q_PROPERTY(QString Category READ category)
    Q_PROPERTY(QString Id READ id)
    Q_PROPERTY(QString Title READ title)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(int WindowId READ windowId)
    Q_PROPERTY(QString IconThemePath READ iconThemePath)
    Q_PROPERTY(QString IconName READ iconName)
    Q_PROPERTY(Kestrune::StatusIconPixmaps IconPixmap READ iconPixmap)
    Q_PROPERTY(QString OverlayIconName READ noName)
    Q_PROPERTY(Kestrune::StatusIconPixmaps OverlayIconPixmap READ noPixmaps)
    Q_PROPERTY(QString AttentionIconName READ iconName)
    Q_PROPERTY(Kestrune::StatusIconPixmaps AttentionIconPixmap READ iconPixmap)
    Q_PROPERTY(QString AttentionMovieName READ noName)
    Q_PROPERTY(Kestrune::StatusToolTip ToolTip READ toolTip)
    Q_PROPERTY(bool ItemIsMenu READ itemIsMenu)
    Q_PROPERTY(QDBusObjectPath Menu READ menu)

public:
    static constexpr const char* path = "/StatusNotifierItem";

    // Exports the item and `menu` on `bus` and registers with the watcher, if any.
    StatusNotifierItem(QMenu* menu, const QString& themePath,
                       QDBusConnection bus = QDBusConnection::sessionBus(),
                       QObject* parent = nullptr);
    ~StatusNotifierItem() override;

    // The bus name the item is registered under.
    QString serviceName() const { return service_; }
    MenuExporter* menuExporter() const { return exporter_; }

    // The state: its themed icon name and the drawn pictures of it.
    void setIcon(const QString& name, const QIcon& pictures);
    void setToolTip(const QString& title, const QString& text);

    // Registers with the watcher now (a watcher that has just come up).
    void registerWithWatcher();

    QString category() const { return "ApplicationStatus"; }
    QString id() const { return "kestrune"; }
    QString title() const { return "Kestrune"; }
    // Always shown, never flagged: the icon's own look tells the state, and hosts
    // draw a flagged item loudly or blink it.
    QString status() const { return "Active"; }
    int windowId() const { return 0; }
    QString iconThemePath() const { return themePath_; }
    QString iconName() const { return iconName_; }
    StatusIconPixmaps iconPixmap() const { return pixmaps_; }
    QString noName() const { return {}; }
    StatusIconPixmaps noPixmaps() const { return {}; }
    StatusToolTip toolTip() const { return toolTip_; }
    // Both clicks show the menu the host draws.
    bool itemIsMenu() const { return true; }
    QDBusObjectPath menu() const;

public slots:
    Q_SCRIPTABLE void Activate(int x, int y);
    Q_SCRIPTABLE void ContextMenu(int x, int y);
    Q_SCRIPTABLE void SecondaryActivate(int x, int y);
    Q_SCRIPTABLE void Scroll(int delta, const QString& orientation);

signals:
    Q_SCRIPTABLE void NewTitle();
    Q_SCRIPTABLE void NewIcon();
    Q_SCRIPTABLE void NewAttentionIcon();
    Q_SCRIPTABLE void NewOverlayIcon();
    Q_SCRIPTABLE void NewToolTip();
    Q_SCRIPTABLE void NewStatus(const QString& status);

    // A host that does not draw the menu asks the item to show it at a screen point.
    void menuRequested(QPoint at);

private:
    QDBusConnection bus_;
    QString service_;
    QString themePath_;
    MenuExporter* exporter_;
    QString iconName_;
    StatusIconPixmaps pixmaps_;
    StatusToolTip toolTip_;
};

// The pictures of an icon at the tray sizes, as the item hands them out.
StatusIconPixmaps statusIconPixmaps(const QIcon& icon);

} // namespace Kestrune

Q_DECLARE_METATYPE(Kestrune::StatusIconPixmap)
Q_DECLARE_METATYPE(Kestrune::StatusToolTip)
