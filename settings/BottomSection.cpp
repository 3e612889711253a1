#include "settings/BottomSection.h"

#include "core/ActivityLog.h"
#include "core/LogSubtitle.h"
#include "feedback/qt/FeedbackActions.h"
#include "settings/Card.h"
#include "settings/CreditLink.h"
#include "settings/ElidedLabel.h"
#include "settings/Layout.h"
#include "settings/Style.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

namespace KestruneCore {

using namespace Kestrune;

namespace {

constexpr int logCardHeight = 52;
constexpr int footerGap = 18;

CreditLink* footerLink(const QString& text) {
    auto* link = new CreditLink(text);
    link->setFont(smallFont(link->font()));
    makeSecondary(link);
    link->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    return link;
}

} // namespace

LogSection makeLogSection(QObject* target) {
    LogSection section;
    section.view = new QWidget;

    auto* header = new QLabel("Log");
    header->setFont(boldFont(header->font()));

    auto* card = new Card;
    card->setFixedHeight(logCardHeight);
    auto* name = new ElidedLabel("Activity log");
    name->setObjectName("logTitle");
    std::string path = logPath();
    auto* subtitle = new ElidedLabel(QString::fromStdString(logSubtitle(path)), Qt::ElideMiddle);
    subtitle->setObjectName("logSubtitle");
    subtitle->setFont(smallFont(subtitle->font()));
    subtitle->setToolTip(QString::fromStdString(path));
    subtitle->setSecondary(true);
    auto* button = new QPushButton(QString::fromUtf8("Open Log\u2026"));
    button->setAutoDefault(false);
    QPointer<QObject> targetRef(target);
    QObject::connect(button, &QPushButton::clicked, button, [targetRef] {
        if (targetRef)
            QMetaObject::invokeMethod(targetRef, "openLog");
    });

    auto* grid = new QGridLayout(card);
    grid->setContentsMargins(12, 0, 12, 0);
    grid->setHorizontalSpacing(8);
    grid->setVerticalSpacing(1);
    grid->addWidget(name, 0, 0, Qt::AlignBottom);
    grid->addWidget(subtitle, 1, 0, Qt::AlignTop);
    grid->addWidget(button, 0, 1, 2, 1, Qt::AlignVCenter);
    grid->setRowStretch(0, 1);
    grid->setRowStretch(1, 1);
    grid->setColumnStretch(0, 1);

    auto* column = new QVBoxLayout(section.view);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(8);
    auto* headerRow = new QHBoxLayout;
    headerRow->setContentsMargins(Layout::containerInset + 10, 0, Layout::containerInset + 10, 0);
    headerRow->addWidget(header);
    column->addLayout(headerRow);
    auto* cardRow = new QHBoxLayout;
    cardRow->setContentsMargins(Layout::containerInset, 0, Layout::containerInset, 0);
    cardRow->addWidget(card);
    column->addLayout(cardRow);

    section.button = button;
    section.subtitle = subtitle;
    return section;
}

BottomSection makeBottomSection(QObject* target) {
    BottomSection bottom;
    LogSection log = makeLogSection(target);

    CreditLink* credit = footerLink("A Bramwick product");
    credit->setObjectName("credit");
    credit->setToolTip(QString::fromStdString(creditURL()));

    CreditLink* feedback = footerLink(QString::fromUtf8("Send Feedback\u2026"));
    feedback->setObjectName("feedback");
    feedback->onActivate = [] {
        if (feedbackOpener)
            feedbackOpener();
    };

    auto* footer = new QHBoxLayout;
    footer->setContentsMargins(0, 0, 0, 0);
    footer->setSpacing(Layout::footerLinkSpacing);
    footer->addStretch(1);
    footer->addWidget(credit, 0, Qt::AlignBaseline);
    footer->addWidget(feedback, 0, Qt::AlignBaseline);
    footer->addStretch(1);

    bottom.view = new QWidget;
    auto* column = new QVBoxLayout(bottom.view);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(footerGap);
    column->addWidget(log.view);
    column->addLayout(footer);

    bottom.log = log.view;
    bottom.credit = credit;
    bottom.subtitle = log.subtitle;
    bottom.feedback = feedback;
    return bottom;
}

} // namespace KestruneCore
