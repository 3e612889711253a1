// The Add App dialog: the installed applications by name and icon, searchable, with
// "Other…" for any file (an AppImage, an executable, an .app folder, a .desktop file
// elsewhere) through a file dialog.
#pragma once

#include "platform/InstalledApps.h"

#include <QDialog>
#include <QIcon>
#include <QStringList>

#include <functional>
#include <memory>
#include <vector>

class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QPushButton;

namespace KestruneCore {
class IconPictures;
}

namespace Kestrune {

class AppPicker : public QDialog {
    Q_OBJECT
public:
    explicit AppPicker(const std::vector<KestruneCore::InstalledApp>& apps,
                       QWidget* parent = nullptr);
    ~AppPicker() override;

    QLineEdit* search;
    QListWidget* list;
    QPushButton* other;
    QPushButton* add;
    // What "Other…" asks for; the file dialog unless replaced.
    std::function<QStringList(QWidget* parent)> chooseOther;

    // The chosen files once accepted: the selected entries, or what "Other…" gave.
    QStringList chosen() const { return chosen_; }

    void accept() override;
    // Blocks until every entry's picture is drawn and shown (tests and screenshots).
    void waitForPictures();

private:
    void filter(const QString& text);
    void chooseOtherFiles();
    // Shows the entry's own picture once it is drawn.
    void showPicture(QListWidgetItem* item);
    void pictureReady(const QString& path);

    QStringList chosen_;
    QIcon standIn_;
    std::unique_ptr<KestruneCore::IconPictures> pictures_;
};

// The file dialog for apps outside the list: .desktop files, AppImages, .app folders
// (picked like files) and executables. Empty when cancelled.
QStringList chooseAppFiles(QWidget* parent);

} // namespace Kestrune
