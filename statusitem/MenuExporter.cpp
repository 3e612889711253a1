#include "statusitem/MenuExporter.h"

#include <QAction>
#include <QActionEvent>
#include <QDBusArgument>
#include <QDBusMetaType>
#include <QEvent>
#include <QKeySequence>
#include <QMenu>

namespace Kestrune {

QDBusArgument& operator<<(QDBusArgument& arg, const MenuLayout& item) {
    arg.beginStructure();
    arg << item.id << item.properties;
    arg.beginArray(qMetaTypeId<QDBusVariant>());
    for (const MenuLayout& child : item.children)
        arg << QDBusVariant(QVariant::fromValue(child));
    arg.endArray();
    arg.endStructure();
    return arg;
}

const QDBusArgument& operator>>(const QDBusArgument& arg, MenuLayout& item) {
    arg.beginStructure();
    arg >> item.id >> item.properties;
    arg.beginArray();
    item.children.clear();
    while (!arg.atEnd()) {
        QDBusVariant child;
        arg >> child;
        MenuLayout c;
        child.variant().value<QDBusArgument>() >> c;
        item.children << c;
    }
    arg.endArray();
    arg.endStructure();
    return arg;
}

QDBusArgument& operator<<(QDBusArgument& arg, const MenuItemProperties& item) {
    arg.beginStructure();
    arg << item.id << item.properties;
    arg.endStructure();
    return arg;
}

const QDBusArgument& operator>>(const QDBusArgument& arg, MenuItemProperties& item) {
    arg.beginStructure();
    arg >> item.id >> item.properties;
    arg.endStructure();
    return arg;
}

QDBusArgument& operator<<(QDBusArgument& arg, const MenuItemRemovedProperties& item) {
    arg.beginStructure();
    arg << item.id << item.names;
    arg.endStructure();
    return arg;
}

const QDBusArgument& operator>>(const QDBusArgument& arg, MenuItemRemovedProperties& item) {
    arg.beginStructure();
    arg >> item.id >> item.names;
    arg.endStructure();
    return arg;
}

QDBusArgument& operator<<(QDBusArgument& arg, const MenuEvent& event) {
    arg.beginStructure();
    arg << event.id << event.eventId << event.data << event.timestamp;
    arg.endStructure();
    return arg;
}

const QDBusArgument& operator>>(const QDBusArgument& arg, MenuEvent& event) {
    arg.beginStructure();
    arg >> event.id >> event.eventId >> event.data >> event.timestamp;
    arg.endStructure();
    return arg;
}

namespace {

// The menu's "&" mnemonics in the host's form, where "_" marks the mnemonic and a
// literal underscore is doubled.
QString hostLabel(const QString& text) {
    QString out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        QChar c = text[i];
        if (c == '_') {
            out += "__";
        } else if (c == '&') {
            if (i + 1 < text.size() && text[i + 1] == '&')
                out += text[++i];
            else if (i + 1 < text.size())
                out += '_';
        } else {
            out += c;
        }
    }
    return out;
}

// A shortcut as the host spells it: modifiers, then the key's name.
QList<QStringList> hostShortcut(const QKeySequence& sequence) {
    QList<QStringList> out;
    for (int i = 0; i < sequence.count(); ++i) {
        QKeyCombination combination = sequence[i];
        QStringList keys;
        Qt::KeyboardModifiers mods = combination.keyboardModifiers();
        if (mods & Qt::ControlModifier)
            keys << "Control";
        if (mods & Qt::AltModifier)
            keys << "Alt";
        if (mods & Qt::ShiftModifier)
            keys << "Shift";
        if (mods & Qt::MetaModifier)
            keys << "Super";
        switch (combination.key()) {
        case Qt::Key_Comma:
            keys << "comma";
            break;
        case Qt::Key_Period:
            keys << "period";
            break;
        default:
            keys << QKeySequence(combination.key()).toString(QKeySequence::PortableText);
        }
        out << keys;
    }
    return out;
}

} // namespace

MenuExporter::MenuExporter(QMenu* menu, QObject* parent) : QObject(parent), menu_(menu) {
    menu->installEventFilter(this);
    for (QAction* action : menu->actions())
        idOf(action);
    announceSoon_.setSingleShot(true);
    announceSoon_.setInterval(0);
    connect(&announceSoon_, &QTimer::timeout, this, &MenuExporter::announce);
}

void MenuExporter::registerTypes() {
    qDBusRegisterMetaType<MenuLayout>();
    qDBusRegisterMetaType<MenuItemProperties>();
    qDBusRegisterMetaType<QList<MenuItemProperties>>();
    qDBusRegisterMetaType<MenuItemRemovedProperties>();
    qDBusRegisterMetaType<QList<MenuItemRemovedProperties>>();
    qDBusRegisterMetaType<MenuEvent>();
    qDBusRegisterMetaType<QList<MenuEvent>>();
    qDBusRegisterMetaType<QList<QStringList>>();
}

int MenuExporter::idOf(QAction* action) {
    auto it = ids_.find(action);
    if (it != ids_.end())
        return it->second;
    int id = nextId_++;
    ids_[action] = id;
    actions_[id] = action;
    return id;
}

QAction* MenuExporter::actionOf(int id) const {
    auto it = actions_.find(id);
    return it == actions_.end() ? nullptr : it->second.data();
}

QVariantMap MenuExporter::propertiesOf(int id, const QStringList& names) {
    QVariantMap all;
    if (id == 0) {
        all["children-display"] = "submenu";
    } else if (QAction* a = actionOf(id)) {
        if (a->isSeparator()) {
            all["type"] = "separator";
        } else {
            all["label"] = hostLabel(a->text());
            if (!a->shortcut().isEmpty())
                all["shortcut"] = QVariant::fromValue(hostShortcut(a->shortcut()));
            if (a->isCheckable()) {
                all["toggle-type"] = a->actionGroup() ? "radio" : "checkmark";
                all["toggle-state"] = a->isChecked() ? 1 : 0;
            }
        }
        // Given even at their defaults, so a change back to them reaches the host.
        all["enabled"] = a->isEnabled();
        all["visible"] = a->isVisible();
    }
    if (names.isEmpty())
        return all;
    QVariantMap some;
    for (const QString& name : names)
        if (all.contains(name))
            some[name] = all[name];
    return some;
}

uint MenuExporter::GetLayout(int parentId, int recursionDepth, const QStringList& propertyNames,
                             MenuLayout& layout) {
    if (parentId != 0 && !actionOf(parentId)) {
        sendErrorReply(QDBusError::InvalidArgs, "no menu entry " + QString::number(parentId));
        return revision_;
    }
    layout = {parentId, propertiesOf(parentId, propertyNames), {}};
    if (parentId == 0 && recursionDepth != 0 && menu_)
        for (QAction* action : menu_->actions()) {
            int id = idOf(action);
            layout.children << MenuLayout{id, propertiesOf(id, propertyNames), {}};
        }
    return revision_;
}

QList<MenuItemProperties> MenuExporter::GetGroupProperties(const QList<int>& ids,
                                                           const QStringList& propertyNames) {
    QList<int> wanted = ids;
    if (wanted.isEmpty() && menu_)
        for (QAction* action : menu_->actions())
            wanted << idOf(action);
    QList<MenuItemProperties> out;
    for (int id : wanted)
        if (id == 0 || actionOf(id))
            out << MenuItemProperties{id, propertiesOf(id, propertyNames)};
    return out;
}

QDBusVariant MenuExporter::GetProperty(int id, const QString& name) {
    QVariantMap properties = propertiesOf(id);
    if ((id != 0 && !actionOf(id)) || !properties.contains(name)) {
        sendErrorReply(QDBusError::InvalidArgs, "no property " + name);
        return QDBusVariant(QString());
    }
    return QDBusVariant(properties[name]);
}

bool MenuExporter::handle(int id, const QString& eventId) {
    if (!menu_)
        return false;
    if (id == 0) {
        // The host opening and closing its copy stands for the menu's own.
        if (eventId == "opened")
            emit menu_->aboutToShow();
        else if (eventId == "closed")
            emit menu_->aboutToHide();
        return true;
    }
    QAction* action = actionOf(id);
    if (!action)
        return false;
    if (eventId == "clicked" && action->isEnabled() && !action->isSeparator())
        // After the reply: the command may end the program.
        QMetaObject::invokeMethod(action, &QAction::trigger, Qt::QueuedConnection);
    return true;
}

void MenuExporter::Event(int id, const QString& eventId, const QDBusVariant&, uint) {
    if (!handle(id, eventId))
        sendErrorReply(QDBusError::InvalidArgs, "no menu entry " + QString::number(id));
}

QList<int> MenuExporter::EventGroup(const QList<MenuEvent>& events) {
    QList<int> unknown;
    for (const MenuEvent& event : events)
        if (!handle(event.id, event.eventId))
            unknown << event.id;
    if (!events.isEmpty() && unknown.size() == events.size())
        sendErrorReply(QDBusError::InvalidArgs, "no such menu entries");
    return unknown;
}

bool MenuExporter::AboutToShow(int id) {
    if (id == 0 && menu_)
        emit menu_->aboutToShow();
    // The exported layout is always current.
    return false;
}

QList<int> MenuExporter::AboutToShowGroup(const QList<int>& ids, QList<int>& idErrors) {
    for (int id : ids) {
        if (id != 0 && !actionOf(id))
            idErrors << id;
        else if (id == 0 && menu_)
            emit menu_->aboutToShow();
    }
    return {};
}

bool MenuExporter::eventFilter(QObject* watched, QEvent* event) {
    if (watched == menu_) {
        auto* change = event->type() == QEvent::ActionAdded ||
                               event->type() == QEvent::ActionRemoved ||
                               event->type() == QEvent::ActionChanged
                           ? static_cast<QActionEvent*>(event)
                           : nullptr;
        if (change) {
            QAction* action = change->action();
            if (event->type() == QEvent::ActionChanged) {
                changed_.insert(action);
            } else {
                layoutChanged_ = true;
                changed_.erase(action);
                if (event->type() == QEvent::ActionAdded) {
                    idOf(action);
                } else if (auto it = ids_.find(action); it != ids_.end()) {
                    // An entry once gone never comes back under its old id.
                    actions_.erase(it->second);
                    ids_.erase(it);
                }
            }
            announceSoon_.start();
        }
    }
    return QObject::eventFilter(watched, event);
}

void MenuExporter::announce() {
    if (layoutChanged_) {
        layoutChanged_ = false;
        emit LayoutUpdated(++revision_, 0);
    }
    QList<MenuItemProperties> updated;
    for (QAction* action : changed_)
        if (auto it = ids_.find(action); it != ids_.end())
            updated << MenuItemProperties{it->second, propertiesOf(it->second)};
    changed_.clear();
    if (!updated.isEmpty())
        emit ItemsPropertiesUpdated(updated, {});
}

} // namespace Kestrune
