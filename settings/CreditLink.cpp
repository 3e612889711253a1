#include "settings/CreditLink.h"

#include "core/BuildInfo.h"
#include "feedback/qt/FeedbackActions.h"

#include <QAccessibleWidget>
#include <QMouseEvent>

namespace KestruneCore {

const std::string& creditURL() {
    static const std::string url = BuildInfo::creditURL;
    return url;
}

} // namespace KestruneCore

namespace Kestrune {

namespace {

// Assistive technology sees a link named by its text, with a press action.
class CreditLinkAccessible : public QAccessibleWidget {
public:
    explicit CreditLinkAccessible(QWidget* w) : QAccessibleWidget(w, QAccessible::Link) {}

    QString text(QAccessible::Text t) const override {
        auto* link = static_cast<CreditLink*>(widget());
        if (t == QAccessible::Name)
            return link->text();
        if (t == QAccessible::Description)
            return link->toolTip();
        return QAccessibleWidget::text(t);
    }
    QStringList actionNames() const override { return {pressAction()}; }
    void doAction(const QString& name) override {
        if (name == pressAction())
            static_cast<CreditLink*>(widget())->activate();
    }
};

QAccessibleInterface* creditLinkFactory(const QString& className, QObject* object) {
    if (className == QLatin1String("Kestrune::CreditLink") && object && object->isWidgetType())
        return new CreditLinkAccessible(static_cast<QWidget*>(object));
    return nullptr;
}

} // namespace

CreditLink::CreditLink(const QString& text, QWidget* parent) : QLabel(text, parent) {
    static bool installed = (QAccessible::installFactory(creditLinkFactory), true);
    (void)installed;
    onActivate = [] {
        if (KestruneCore::opener)
            KestruneCore::opener(KestruneCore::creditURL());
    };
    setCursor(Qt::PointingHandCursor);
    setTextInteractionFlags(Qt::NoTextInteraction);
    setFocusPolicy(Qt::NoFocus);
    setAlignment(Qt::AlignCenter);
}

void CreditLink::activate() {
    if (onActivate)
        onActivate();
}

void CreditLink::mousePressEvent(QMouseEvent* event) {
    activate();
    event->accept();
}

} // namespace Kestrune
