// The status menu as a tray host reads it over the session bus (the
// com.canonical.dbusmenu interface): the host draws the menu from this copy, so it
// must follow the one menu at every change. Entries keep their ids for as long as
// they live; a change of labels or state is announced with ItemsPropertiesUpdated,
// an entry added or removed with LayoutUpdated. The host's clicks run the entry's
// command, and its opening and closing the menu stand for the menu's own.
#pragma once

#include <QDBusContext>
#include <QDBusVariant>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>
#include <QVariantMap>

#include <map>
#include <set>

class QAction;
class QMenu;

namespace Kestrune {

// An entry and, below it, its children: (ia{sv}av).
struct MenuLayout {
    int id = 0;
    QVariantMap properties;
    QList<MenuLayout> children;
};

// An entry's properties: (ia{sv}).
struct MenuItemProperties {
    int id = 0;
    QVariantMap properties;
};

// Properties an entry no longer has: (ias).
struct MenuItemRemovedProperties {
    int id = 0;
    QStringList names;
};

// One of a group of events: (isvu).
struct MenuEvent {
    int id = 0;
    QString eventId;
    QDBusVariant data;
    uint timestamp = 0;
};

class MenuExporter : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.canonical.dbusmenu")
    Q_PROPERTY(uint Version READ version)
    Q_PROPERTY(QString TextDirection READ textDirection)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(QStringList IconThemePath READ iconThemePath)

public:
    static constexpr const char* path = "/MenuBar";

    // Follows `menu` (a flat menu) for as long as both live.
    explicit MenuExporter(QMenu* menu, QObject* parent = nullptr);

    // The D-Bus types above, known to the bus; once per process, before exporting.
    static void registerTypes();

    uint version() const { return 3; }
    QString textDirection() const { return "ltr"; }
    QString status() const { return "normal"; }
    QStringList iconThemePath() const { return {}; }

    // The current layout revision, raised by each change of entries.
    uint revision() const { return revision_; }

public slots:
    Q_SCRIPTABLE uint GetLayout(int parentId, int recursionDepth, const QStringList& propertyNames,
                                Kestrune::MenuLayout& layout);
    Q_SCRIPTABLE QList<Kestrune::MenuItemProperties>
    GetGroupProperties(const QList<int>& ids, const QStringList& propertyNames);
    Q_SCRIPTABLE QDBusVariant GetProperty(int id, const QString& name);
    Q_SCRIPTABLE void Event(int id, const QString& eventId, const QDBusVariant& data,
                            uint timestamp);
    Q_SCRIPTABLE QList<int> EventGroup(const QList<Kestrune::MenuEvent>& events);
    Q_SCRIPTABLE bool AboutToShow(int id);
    Q_SCRIPTABLE QList<int> AboutToShowGroup(const QList<int>& ids, QList<int>& idErrors);

signals:
    Q_SCRIPTABLE void LayoutUpdated(uint revision, int parent);
    Q_SCRIPTABLE void
    ItemsPropertiesUpdated(const QList<Kestrune::MenuItemProperties>& updatedProps,
                           const QList<Kestrune::MenuItemRemovedProperties>& removedProps);
    Q_SCRIPTABLE void ItemActivationRequested(int id, uint timestamp);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The id of an entry of the menu, given on first sight; 0 is the menu itself.
    int idOf(QAction* action);
    QAction* actionOf(int id) const;
    QVariantMap propertiesOf(int id, const QStringList& names = {});
    // Whether the event was for a known entry.
    bool handle(int id, const QString& eventId);
    void announce();

    QPointer<QMenu> menu_;
    std::map<QAction*, int> ids_;
    std::map<int, QPointer<QAction>> actions_;
    int nextId_ = 1;
    uint revision_ = 1;
    bool layoutChanged_ = false;
    std::set<QAction*> changed_;
    QTimer announceSoon_;
};

} // namespace Kestrune

Q_DECLARE_METATYPE(Kestrune::MenuLayout)
Q_DECLARE_METATYPE(Kestrune::MenuItemProperties)
Q_DECLARE_METATYPE(Kestrune::MenuItemRemovedProperties)
Q_DECLARE_METATYPE(Kestrune::MenuEvent)
