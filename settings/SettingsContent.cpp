#include "settings/SettingsContent.h"

#include "settings/Layout.h"
#include "settings/ListSection.h"
#include "settings/Style.h"

#include <QAbstractButton>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

namespace Kestrune {

using KestruneCore::Layout;

const QString SettingsContent::masterTitleText = "Keep apps and services alive";
const QString SettingsContent::appsTitleText = "Apps";
const QString SettingsContent::appsCaptionText = "Apps Kestrune keeps running.";
const QString SettingsContent::servicesCaptionText =
    "Project folders with scripts/launch.sh and a health-check address in "
    "scripts/launch.json.";
const QString SettingsContent::trayNoticeText =
    QString::fromUtf8("The status icon needs a tray: add one to your panel (on GNOME, turn on the "
                      "AppIndicator extension).");

namespace {

constexpr int titleInset = Layout::containerInset + 10;
// Captions wrap here even when the window is wider, so they read as one block.
constexpr int captionWrapWidth = 380;

QLabel* title(const QString& text, const char* name) {
    auto* label = new QLabel(text);
    label->setObjectName(name);
    label->setFont(boldFont(label->font()));
    return label;
}

QLabel* caption(const QString& text, const char* name) {
    auto* label = new QLabel(text);
    label->setObjectName(name);
    label->setWordWrap(true);
    label->setMaximumWidth(captionWrapWidth);
    makeSecondary(label);
    return label;
}

void addInset(QVBoxLayout* page, QWidget* w, int leading, int trailing) {
    auto* row = new QHBoxLayout;
    row->setContentsMargins(leading, 0, trailing, 0);
    row->setSpacing(0);
    row->addWidget(w);
    page->addLayout(row);
}

} // namespace

SettingsContent::SettingsContent(QObject* target, QAbstractButton* master, ListSection* apps,
                                 ListSection* services) {
    view = new QWidget;
    view->setObjectName("settingsPage");
    masterTitle = title(masterTitleText, "masterTitle");
    appsTitle = title(appsTitleText, "appsTitle");
    appsCaption = caption(appsCaptionText, "appsCaption");
    servicesTitle = title("Services", "servicesTitle");
    servicesCaption = caption(servicesCaptionText, "servicesCaption");
    bottom = KestruneCore::makeBottomSection(target);
    trayNotice = caption(trayNoticeText, "trayNotice");
    trayNotice->hide();

    auto* page = new QVBoxLayout(view);
    page->setContentsMargins(0, 20, 0, 20);
    page->setSpacing(0);
    addInset(page, trayNotice, titleInset, titleInset);

    auto* masterRow = new QHBoxLayout;
    masterRow->setContentsMargins(titleInset, 0, Layout::masterTrailingFromWindow, 0);
    masterRow->setSpacing(12);
    masterRow->addWidget(masterTitle, 1);
    masterRow->addWidget(master, 0, Qt::AlignVCenter);
    master->setObjectName("master");
    page->addLayout(masterRow);

    page->addSpacing(20);
    addInset(page, appsTitle, titleInset, titleInset);
    page->addSpacing(4);
    addInset(page, appsCaption, titleInset, titleInset);
    page->addSpacing(12);
    addInset(page, apps->view, Layout::containerInset, Layout::containerInset);
    page->addSpacing(20);
    addInset(page, servicesTitle, titleInset, titleInset);
    page->addSpacing(4);
    addInset(page, servicesCaption, titleInset, titleInset);
    page->addSpacing(12);
    addInset(page, services->view, Layout::containerInset, Layout::containerInset);
    page->addSpacing(20);
    page->addWidget(bottom.view);
    page->addStretch(1);
}

} // namespace Kestrune
