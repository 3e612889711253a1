#include "settings/AppPicker.h"

#include "icons/qt/IconPictures.h"
#include "settings/Style.h"
#include "settings/WorkspaceIcon.h"
#include "ui/Symbols.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QIcon>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

namespace Kestrune {

namespace {

constexpr int listIconSize = 32;

// Takes an .app folder when the user opens it or presses Open on it, as a file would
// be taken; everything else behaves as in any file dialog.
class AppFileDialog : public QFileDialog {
public:
    explicit AppFileDialog(QWidget* parent) : QFileDialog(parent, "Add App") {
        setOption(QFileDialog::DontUseNativeDialog); // the .app rule needs our accept()
        setFileMode(QFileDialog::ExistingFiles);
        setNameFilters({"Applications (*.desktop *.AppImage *.appimage *.app)", "All files (*)"});
        connect(this, &QFileDialog::directoryEntered, this, [this](const QString& dir) {
            if (isAppFolder(dir))
                take({dir});
        });
    }

    QStringList taken;

    void accept() override {
        QStringList files = selectedFiles();
        if (!files.isEmpty() && std::all_of(files.begin(), files.end(), isAppFolder))
            return take(files);
        QFileDialog::accept();
    }

private:
    static bool isAppFolder(const QString& path) {
        return path.endsWith(".app") && QFileInfo(path).isDir();
    }
    void take(const QStringList& files) {
        taken = files;
        QDialog::accept();
    }
};

} // namespace

QStringList chooseAppFiles(QWidget* parent) {
    AppFileDialog dialog(parent);
    if (dialog.exec() != QDialog::Accepted)
        return {};
    return dialog.taken.isEmpty() ? dialog.selectedFiles() : dialog.taken;
}

AppPicker::AppPicker(const std::vector<KestruneCore::InstalledApp>& apps, QWidget* parent)
    : QDialog(parent) {
    setWindowTitle("Add App");
    chooseOther = chooseAppFiles;

    search = new QLineEdit;
    search->setObjectName("search");
    search->setPlaceholderText("Search");
    search->setClearButtonEnabled(true);
    search->setAccessibleName("Search applications");

    list = new QListWidget;
    list->setObjectName("apps");
    list->setIconSize(QSize(listIconSize, listIconSize));
    list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list->setUniformItemSizes(true);
    list->setAccessibleName("Applications");
    // Each entry's picture is drawn off the main thread; a glyph stands in until then,
    // and for good when the entry has none.
    pictures_ = std::make_unique<KestruneCore::IconPictures>(KestruneCore::workspacePictureMaker());
    connect(pictures_.get(), &KestruneCore::IconPictures::ready, this, &AppPicker::pictureReady);
    const QImage glyph = Kestrune::tintedTemplate(Kestrune::symbolImage("cube", {64, 64}),
                                                  secondaryLabelColour(palette()));
    standIn_ = QIcon(QPixmap::fromImage(glyph));
    for (const auto& app : apps) {
        auto* item = new QListWidgetItem(standIn_, QString::fromStdString(app.name));
        item->setData(Qt::UserRole, QString::fromStdString(app.path));
        item->setToolTip(QString::fromStdString(app.path));
        list->addItem(item);
        showPicture(item);
    }

    // "Other…" at the far side from the dialog's answer, as in any open dialog.
    other = new QPushButton(QString::fromUtf8("Other\u2026"));
    auto* cancel = new QPushButton("Cancel");
    add = new QPushButton("Add");
    add->setDefault(true);
    add->setEnabled(false);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(other);
    buttons->addStretch(1);
    buttons->addWidget(cancel);
    buttons->addWidget(add);

    auto* column = new QVBoxLayout(this);
    column->addWidget(search);
    column->addWidget(list, 1);
    column->addLayout(buttons);
    resize(420, 480);

    connect(search, &QLineEdit::textChanged, this, &AppPicker::filter);
    connect(list, &QListWidget::itemSelectionChanged, this,
            [this] { add->setEnabled(!list->selectedItems().isEmpty()); });
    connect(list, &QListWidget::itemActivated, this, &AppPicker::accept);
    connect(other, &QPushButton::clicked, this, &AppPicker::chooseOtherFiles);
    connect(add, &QPushButton::clicked, this, &AppPicker::accept);
    connect(cancel, &QPushButton::clicked, this, &AppPicker::reject);
    search->setFocus();
}

void AppPicker::showPicture(QListWidgetItem* item) {
    const qreal dpr = list->devicePixelRatioF();
    std::optional<QImage> picture = pictures_->picture(
        item->data(Qt::UserRole).toString().toStdString(), int(listIconSize * dpr));
    if (!picture || picture->isNull())
        return;
    QPixmap pixmap = QPixmap::fromImage(*picture);
    pixmap.setDevicePixelRatio(dpr);
    item->setIcon(QIcon(pixmap));
}

void AppPicker::pictureReady(const QString& path) {
    for (int i = 0; i < list->count(); ++i)
        if (list->item(i)->data(Qt::UserRole).toString() == path)
            showPicture(list->item(i));
}

AppPicker::~AppPicker() = default;

void AppPicker::waitForPictures() {
    pictures_->waitForDone();
}

void AppPicker::filter(const QString& text) {
    QListWidgetItem* first = nullptr;
    for (int i = 0; i < list->count(); ++i) {
        QListWidgetItem* item = list->item(i);
        bool shown = item->text().contains(text.trimmed(), Qt::CaseInsensitive);
        item->setHidden(!shown);
        if (!shown)
            item->setSelected(false);
        else if (!first)
            first = item;
    }
    // Typing a name and pressing Return adds the first match.
    if (first && list->selectedItems().isEmpty())
        list->setCurrentItem(first);
}

void AppPicker::accept() {
    if (chosen_.isEmpty())
        for (QListWidgetItem* item : list->selectedItems())
            chosen_ << item->data(Qt::UserRole).toString();
    if (chosen_.isEmpty())
        return; // nothing chosen: stay open
    QDialog::accept();
}

void AppPicker::chooseOtherFiles() {
    QStringList files = chooseOther ? chooseOther(this) : QStringList();
    if (files.isEmpty())
        return;
    chosen_ = files;
    QDialog::accept();
}

} // namespace Kestrune
