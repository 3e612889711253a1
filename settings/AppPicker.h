// The Add App dialog: the installed applications by name and icon, searchable, with
// "Other…" for any file (an AppImage, an executable, an .app folder, a .desktop file
// elsewhere) through a file dialog.
#pragma once

#include "platform/InstalledApps.h"

#include <QDialog>
#include <QStringList>

#include <functional>
#include <vector>

class QLineEdit;
class QListWidget;
class QPushButton;

namespace Kestrune {

class AppPicker : public QDialog {
    Q_OBJECT
public:
    explicit AppPicker(const std::vector<KestruneCore::InstalledApp>& apps,
                       QWidget* parent = nullptr);

    QLineEdit* search;
    QListWidget* list;
    QPushButton* other;
    QPushButton* add;
    // What "Other…" asks for; the file dialog unless replaced.
    std::function<QStringList(QWidget* parent)> chooseOther;

    // The chosen files once accepted: the selected entries, or what "Other…" gave.
    QStringList chosen() const { return chosen_; }

    void accept() override;

private:
    void filter(const QString& text);
    void chooseOtherFiles();

    QStringList chosen_;
};

// The file dialog for apps outside the list: .desktop files, AppImages, .app folders
// (picked like files) and executables. Empty when cancelled.
QStringList chooseAppFiles(QWidget* parent);

} // namespace Kestrune
