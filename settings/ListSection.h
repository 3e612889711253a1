// One list card of the Settings window ("Apps" or "Services"): a row per entry with
// icon, name, one-line subtitle and switch, a bar with add, remove and (for services)
// re-scan, a context menu and an empty-state row. It knows nothing of files or the
// controller: the controller hands it the closures below.
#pragma once

#include "core/AppEntry.h"
#include "core/WatchList.h"

#include <QColor>
#include <QImage>
#include <QObject>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

class QAbstractButton;
class QLabel;
class QMenu;
class QToolButton;

namespace KestruneCore {
class IconPictures;
}

namespace Kestrune {

class ElidedLabel;
class RowTable;
class Toggle;

// A row's view: the cell and, below it unless it is the last row, a hairline from the
// text column to 12 pixels before the right edge.
class SepRow : public QWidget {
    Q_OBJECT
public:
    explicit SepRow(QWidget* parent = nullptr);
    bool showSep = true;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
};

class ListSection : public QObject {
    Q_OBJECT
public:
    static constexpr int rowHeight = 58;

    // `target` (the controller; may be null) receives addApp / addService and
    // rescanServices. `visibleRows` fixes the list's height.
    ListSection(KestruneCore::EntryType type, QString emptyText, QObject* target, int visibleRows);
    ~ListSection() override;

    const KestruneCore::EntryType type;
    const QString emptyText;
    RowTable* table;
    QToolButton* plus;
    QToolButton* minus;
    QToolButton* rescan;
    std::function<bool(const KestruneCore::AppEntry&)> isFound;
    // The card the window places. Owned by the section until it is given a parent.
    QWidget* view;
    std::function<KestruneCore::WatchList()> entries;
    std::function<void(const KestruneCore::AppEntry&)> onRemove;
    std::function<void(const KestruneCore::AppEntry&, bool on)> onToggle;
    std::function<void(const KestruneCore::AppEntry&)> onDetails;
    // A row's icon: an image shown at once (a glyph, an app's icon), or an icon file
    // whose picture is made off the main thread, with the image as its stand-in until
    // the picture is ready.
    struct RowIcon {
        RowIcon(std::optional<QImage> image_ = std::nullopt, std::string file_ = {})
            : image(std::move(image_)), file(std::move(file_)) {}
        std::optional<QImage> image;
        std::string file;
    };
    // "Restart Now" on a service row: offered for watched entries kept alive.
    std::function<void(const KestruneCore::AppEntry&)> onRestart;
    std::function<RowIcon(const KestruneCore::AppEntry&)> rowIcon;
    // What a row's picture is made from (for a service, its icon source): rows with
    // the same key reuse one finished picture instead of loading and redrawing the
    // image on every reload. Empty: no reuse. Icon files are kept by their own
    // content instead (IconPictures).
    std::function<std::string(const KestruneCore::AppEntry&)> rowIconKey;
    // Drops the finished pictures, so edited icons are drawn anew.
    void forgetIcons() { iconPictures_.clear(); }
    // Where icon files' pictures are made; one per section.
    KestruneCore::IconPictures& filePictures() { return *filePictures_; }
    std::function<std::string(const KestruneCore::AppEntry&)> rowSubtitle;
    // Services: the page "Open in Browser" opens for a row (empty: none, the item is
    // dimmed), what opens it, and what "Open Folder" does.
    std::function<std::string(const KestruneCore::AppEntry&)> webAddress;
    std::function<void(const std::string& address)> onOpenInBrowser;
    std::function<void(const KestruneCore::AppEntry&)> onOpenFolder;
    // The entries shown, in display order, as last loaded.
    KestruneCore::WatchList rows;

private:
    struct IconPicture {
        QPixmap pixmap;
        QString description;
    };
    std::map<std::string, IconPicture> iconPictures_;
    std::unique_ptr<KestruneCore::IconPictures> filePictures_;

public:
    bool masterOn() const { return masterOn_; }
    // Mirrors the master switch; redraws the rows without asking for entries again.
    void setMasterOn(bool on);
    bool isEmptyState() const { return rows.empty(); }

    void reload();
    void selectionChanged();
    void remove(int row);
    void removeSelected();
    void removeClicked();
    void detailsClicked();
    void openInBrowserClicked();
    void openFolderClicked();
    void showDetails(int row);
    void restartClicked();
    // Whether "Restart Now" applies to a row: a watched service switched on while
    // keeping alive is on.
    bool canRestart(int row) const;
    void toggled(QAbstractButton* sender);

    // The table's rows: the entries, or the one empty-state row.
    int numberOfRows() const;
    bool shouldSelectRow(int row) const;
    // The row the context menu was opened on, -1 outside the rows.
    int clickedRow() const { return clickedRow_; }
    // Opens the context menu as if the row were right-clicked; answers the menu's
    // actions (tests and accessibility).
    QMenu* contextMenu() const { return menu_; }
    void setClickedRow(int row) { clickedRow_ = row; }

    // The parts of a shown row (null when the row does not exist or is empty).
    SepRow* rowView(int row) const;
    Toggle* rowSwitch(int row) const;
    ElidedLabel* rowTitle(int row) const;
    ElidedLabel* rowSubtitleLabel(int row) const;
    QLabel* rowIconView(int row) const;

private:
    void reloadData();
    void tintRescan();
    void ringFocus();
    QWidget* makeRowView(int row);
    void showFilePicture(QLabel* icon, const std::string& file);
    void filePictureReady(const QString& file);
    void showContextMenu(int row, const QPoint& globalPos);

    bool masterOn_ = true;
    int clickedRow_ = -1;
    bool inRowSwitch_ = false;
    QMenu* menu_ = nullptr;
    QAction* openInBrowser_ = nullptr;
    QAction* restartAction_ = nullptr;
    QPointer<QWidget> ownedView_;
    QColor rescanTint_;
    std::optional<QPalette> ringPalette_;
};

} // namespace Kestrune
