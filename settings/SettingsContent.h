// The Settings page: the master switch, the Apps and Services cards with their titles
// and captions, and the log card and footer.
#pragma once

#include "settings/BottomSection.h"

#include <QString>

class QAbstractButton;
class QLabel;
class QObject;
class QWidget;

namespace Kestrune {

class ListSection;

class SettingsContent {
public:
    static const QString masterTitleText;
    static const QString appsTitleText;
    static const QString appsCaptionText;
    static const QString servicesCaptionText;
    static const QString trayNoticeText;

    // `target` (the controller; may be null) receives openLog. The switch and the two
    // sections' cards become part of the page.
    SettingsContent(QObject* target, QAbstractButton* master, ListSection* apps,
                    ListSection* services);

    QWidget* view;
    // Above everything, hidden until the controller finds no tray to show the icon in.
    QLabel* trayNotice;
    QLabel* masterTitle;
    QLabel* appsTitle;
    QLabel* appsCaption;
    QLabel* servicesTitle;
    QLabel* servicesCaption;
    KestruneCore::BottomSection bottom;
};

} // namespace Kestrune
