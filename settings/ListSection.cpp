#include "settings/ListSection.h"

#include "icons/qt/IconPictures.h"
#include "icons/qt/NormalizedIcon.h"
#include "settings/Card.h"
#include "settings/ElidedLabel.h"
#include "settings/Hairline.h"
#include "settings/Layout.h"
#include "settings/RowTable.h"
#include "settings/Style.h"
#include "settings/WorkspaceIcon.h"
#include "ui/Symbols.h"
#include "ui/Toggle.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QScrollBar>
#include <QToolButton>
#include <QVBoxLayout>

namespace Kestrune {

using KestruneCore::AppEntry;
using KestruneCore::EntryType;

namespace {

constexpr int iconSize = 32;
constexpr int templateGlyphSize = 22;
constexpr int iconCentreX = 28;
constexpr int textLeading = 54;
constexpr int textToSwitch = 8;
constexpr int sepTrailing = 12;
constexpr int barButtonWidth = 24;
constexpr int barButtonHeight = 22;
constexpr int rescanGlyphSize = 16;

QString qs(const std::string& s) {
    return QString::fromStdString(s);
}

// The cell of one entry: icon, name over subtitle, switch at the right.
class RowCell : public QWidget {
public:
    QLabel* icon = nullptr;
    ElidedLabel* title = nullptr;
    ElidedLabel* subtitle = nullptr;
    Toggle* toggle = nullptr;

protected:
    void resizeEvent(QResizeEvent*) override {
        const int w = width();
        const int h = height();
        const int mid = h / 2;
        icon->setGeometry(iconCentreX - iconSize / 2, (h - iconSize) / 2, iconSize, iconSize);
        QSize sw = toggle->sizeHint();
        int switchX = w - KestruneCore::Layout::rowSwitchInset - sw.width();
        toggle->setGeometry(switchX, (h - sw.height()) / 2, sw.width(), sw.height());
        int textWidth = std::max(0, switchX - textToSwitch - textLeading);
        int th = title->sizeHint().height();
        title->setGeometry(textLeading, mid - th, textWidth, th);
        subtitle->setGeometry(textLeading, mid + 1, textWidth, subtitle->sizeHint().height());
    }
};

// The cell of an empty list: its text, 12 pixels in, vertically centred.
class EmptyCell : public QWidget {
public:
    QLabel* label = nullptr;

protected:
    void resizeEvent(QResizeEvent*) override {
        int h = label->sizeHint().height();
        label->setGeometry(12, (height() - h) / 2, std::max(0, width() - 24), h);
    }
};

// What an app row shows until its own picture is drawn, and keeps when it has none.
QImage appStandIn() {
    return symbolImage("cube", {64, 64});
}

QPixmap iconPixmap(QImage image, const QPalette& palette, qreal dpr) {
    if (image.isNull())
        return {};
    image = KestruneCore::normalizedIcon(image);
    if (image.isNull())
        return {};
    int box = int(iconSize * dpr);
    if (isTemplateImage(image)) {
        // A glyph sits smaller than a picture, centred, in the secondary text colour.
        QImage glyph = tintedTemplate(image, secondaryLabelColour(palette))
                           .scaled(int(templateGlyphSize * dpr), int(templateGlyphSize * dpr),
                                   Qt::KeepAspectRatio, Qt::SmoothTransformation);
        QImage canvas(box, box, QImage::Format_ARGB32_Premultiplied);
        canvas.fill(Qt::transparent);
        QPainter p(&canvas);
        p.drawImage((box - glyph.width()) / 2, (box - glyph.height()) / 2, glyph);
        p.end();
        image = canvas;
    } else {
        image = image.scaled(box, box, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    }
    QPixmap pixmap = QPixmap::fromImage(image);
    pixmap.setDevicePixelRatio(dpr);
    return pixmap;
}

} // namespace

SepRow::SepRow(QWidget* parent) : QWidget(parent) {}

void SepRow::paintEvent(QPaintEvent*) {
    QPainter p(this);
    if (property("selected").toBool()) {
        // A faint tint, so the row's text keeps its colours and stays legible.
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(128, 128, 128, 60));
        p.drawRoundedRect(QRectF(rect()).adjusted(4, 2, -4, -2), 6, 6);
    }
    if (!showSep)
        return;
    p.fillRect(QRect(textLeading, height() - 1, width() - textLeading - sepTrailing, 1),
               separatorColour(palette()));
}

void SepRow::resizeEvent(QResizeEvent*) {
    for (QObject* child : children())
        if (auto* w = qobject_cast<QWidget*>(child))
            w->setGeometry(rect());
}

ListSection::ListSection(EntryType type_, QString emptyText_, QObject* target, int visibleRows)
    : type(type_), emptyText(std::move(emptyText_)) {
    const bool services = type == EntryType::service;
    QPointer<QObject> targetRef(target);

    table = new RowTable(rowHeight);
    plus = new QToolButton;
    plus->setText("+");
    minus = new QToolButton;
    minus->setText(QString::fromUtf8("\u2212"));
    rescan = new QToolButton;
    isFound = [](const AppEntry&) { return false; };
    auto* card = new Card;
    view = card;
    ownedView_ = card;
    entries = [] { return KestruneCore::WatchList{}; };
    onRemove = [](const AppEntry&) {};
    onToggle = [](const AppEntry&, bool) {};
    onDetails = [](const AppEntry&) {};
    onRestart = [](const AppEntry&) {};
    // An app's own picture is drawn off the main thread, from its file.
    rowIcon = [](const AppEntry& e) { return RowIcon(appStandIn(), e.path); };
    rowSubtitle = [](const AppEntry&) { return std::string(); };
    webAddress = [](const AppEntry&) { return std::string(); };
    onOpenInBrowser = [](const std::string&) {};
    onOpenFolder = [](const AppEntry&) {};

    table->setObjectName("rows");
    table->setFixedHeight(visibleRows * rowHeight);
    connect(table, &RowTable::selectionChanged, this, &ListSection::selectionChanged);

    menu_ = new QMenu(table);
    if (services) {
        QAction* details = menu_->addAction(QString::fromUtf8("Show Details\u2026"));
        connect(details, &QAction::triggered, this, &ListSection::detailsClicked);
    }
    QAction* removeAction = menu_->addAction("Remove");
    connect(removeAction, &QAction::triggered, this, &ListSection::removeClicked);
    if (services) {
        // A group of its own after the entry's own items: Restart Now first, then
        // going to the service.
        menu_->addSeparator();
        restartAction_ = menu_->addAction("Restart Now");
        connect(restartAction_, &QAction::triggered, this, &ListSection::restartClicked);
        openInBrowser_ = menu_->addAction("Open in Browser");
        connect(openInBrowser_, &QAction::triggered, this, &ListSection::openInBrowserClicked);
        QAction* openFolder = menu_->addAction("Open Folder");
        connect(openFolder, &QAction::triggered, this, &ListSection::openFolderClicked);
    }
    connect(table, &RowTable::contextMenuRequested, this, &ListSection::showContextMenu);

    QFont barFont = plus->font();
    barFont.setPixelSize(15);
    for (QToolButton* b : {plus, minus}) {
        // Borderless: a flat button shows its bezel only under the pointer.
        b->setAutoRaise(true);
        b->setFont(barFont);
        b->setFixedSize(barButtonWidth, barButtonHeight);
        b->setFocusPolicy(Qt::TabFocus);
    }
    ringFocus();
    plus->setToolTip(services ? QString::fromUtf8("Add Service\u2026")
                              : QString::fromUtf8("Add App\u2026"));
    plus->setAccessibleName(plus->toolTip());
    const char* addAction = services ? "addService" : "addApp";
    connect(plus, &QToolButton::clicked, this, [targetRef, addAction] {
        if (targetRef)
            QMetaObject::invokeMethod(targetRef, addAction);
    });
    minus->setToolTip(services ? "Remove selected service" : "Remove selected app");
    minus->setAccessibleName(minus->toolTip());
    minus->setEnabled(false);
    connect(minus, &QToolButton::clicked, this, &ListSection::removeSelected);

    auto* divider = new Hairline;
    divider->setFixedSize(1, 14);

    auto* separator = new Hairline;
    separator->setFixedHeight(1);

    auto* bar = new QHBoxLayout;
    bar->setContentsMargins(6, 0, 8, 0);
    bar->setSpacing(0);
    bar->addWidget(plus);
    bar->addWidget(divider, 0, Qt::AlignVCenter);
    bar->addWidget(minus);
    bar->addStretch(1);

    const QString rescanText = "Search this computer for services";
    rescan->setAutoRaise(true);
    rescan->setToolTip(rescanText);
    rescan->setAccessibleName(rescanText);
    rescan->setFixedSize(barButtonWidth, barButtonHeight);
    rescan->setIconSize(QSize(rescanGlyphSize, rescanGlyphSize));
    if (services) {
        connect(rescan, &QToolButton::clicked, this, [targetRef] {
            if (targetRef)
                QMetaObject::invokeMethod(targetRef, "rescanServices");
        });
        bar->addWidget(rescan);
    } else {
        rescan->setParent(card);
        rescan->hide();
    }

    auto* column = new QVBoxLayout(card);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(table);
    column->addWidget(separator);
    column->addLayout(bar);
    card->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);

    // Services' pictures are of their icon files; apps', of the apps' own files.
    filePictures_ = std::make_unique<KestruneCore::IconPictures>(
        services ? KestruneCore::IconPictures::Maker() : KestruneCore::workspacePictureMaker());
    connect(filePictures_.get(), &KestruneCore::IconPictures::ready, this,
            &ListSection::filePictureReady);

    reloadData();
}

ListSection::~ListSection() {
    // The card goes with the window once placed; until then it is ours.
    if (ownedView_ && !ownedView_->parent())
        delete ownedView_.data();
}

void ListSection::setMasterOn(bool on) {
    // Rows are rebuilt only when the switches' rule changes; a reload follows anyway.
    if (on == masterOn_)
        return;
    masterOn_ = on;
    reloadData();
}

int ListSection::numberOfRows() const {
    return std::max<int>(1, int(rows.size()));
}

bool ListSection::shouldSelectRow(int) const {
    return !rows.empty();
}

void ListSection::reload() {
    rows.clear();
    for (auto& e : entries())
        if (e.type == type)
            rows.push_back(std::move(e));
    reloadData();
    selectionChanged();
}

void ListSection::ringFocus() {
    // A flat button shows no bezel, so keyboard focus gets a ring of its own. A style
    // sheet fixes the button's palette when applied, so it is applied anew whenever the
    // application's palette changes (light to dark and back): the glyphs would otherwise
    // keep the old palette's colour.
    const QPalette palette = QApplication::palette(plus);
    if (ringPalette_ && *ringPalette_ == palette)
        return;
    ringPalette_ = palette;
    for (QToolButton* b : {plus, minus, rescan}) {
        b->setStyleSheet(QString());
        b->setStyleSheet("QToolButton:focus { border: 2px solid palette(highlight);"
                         " border-radius: 4px; }");
    }
}

void ListSection::tintRescan() {
    if (type != EntryType::service)
        return;
    // The application's palette, like the secondary labels: the card and table set
    // palettes of their own, which an appearance change does not reach.
    QColor colour = secondaryLabelColour(QApplication::palette(view));
    if (colour == rescanTint_)
        return;
    rescanTint_ = colour;
    // An empty image when the glyph is not there; the tooltip and name still say it all.
    QImage glyph = symbolImage("arrow.clockwise", QSize(rescanGlyphSize * 2, rescanGlyphSize * 2));
    rescan->setIcon(glyph.isNull() ? QIcon()
                                   : QIcon(QPixmap::fromImage(tintedTemplate(glyph, colour))));
}

void ListSection::reloadData() {
    tintRescan(); // follows the palette from light to dark and back
    ringFocus();
    std::vector<QWidget*> views;
    views.reserve(size_t(numberOfRows()));
    for (int row = 0; row < numberOfRows(); ++row)
        views.push_back(makeRowView(row));
    table->setRows(views, shouldSelectRow(0), inRowSwitch_);
}

QWidget* ListSection::makeRowView(int row) {
    auto* rowView = new SepRow;
    rowView->showSep = row < numberOfRows() - 1;
    rowView->setObjectName(QString("row%1").arg(row));
    if (rows.empty()) {
        auto* cell = new EmptyCell;
        cell->setParent(rowView);
        auto* label = new ElidedLabel(emptyText, Qt::ElideRight, cell);
        label->setObjectName("empty");
        label->setSecondary(true);
        cell->label = label;
        return rowView;
    }
    const AppEntry& e = rows[size_t(row)];
    auto* cell = new RowCell;
    cell->setParent(rowView);

    cell->icon = new QLabel(cell);
    cell->icon->setObjectName("icon");
    cell->icon->setAlignment(Qt::AlignCenter);
    const qreal dpr = table->devicePixelRatioF();
    const QPalette palette = QApplication::palette(table);
    std::string key;
    if (rowIconKey)
        key = rowIconKey(e) + '\n' + std::to_string(dpr) + '\n' +
              std::to_string(secondaryLabelColour(palette).rgba());
    auto known = key.empty() ? iconPictures_.end() : iconPictures_.find(key);
    IconPicture picture;
    std::string file;
    if (known != iconPictures_.end()) {
        picture = known->second;
    } else {
        RowIcon icon = rowIcon ? rowIcon(e) : RowIcon();
        file = std::move(icon.file);
        if (icon.image && !icon.image->isNull()) {
            picture.description = icon.image->text("description");
            picture.pixmap = iconPixmap(*icon.image, palette, dpr);
        }
        // A file's picture is kept by the file's content, not under this key.
        if (!key.empty() && file.empty())
            iconPictures_.emplace(key, picture);
    }
    if (!picture.description.isEmpty())
        cell->icon->setAccessibleName(picture.description);
    if (!picture.pixmap.isNull())
        cell->icon->setPixmap(picture.pixmap);
    if (!file.empty())
        showFilePicture(cell->icon, file);

    cell->title = new ElidedLabel(qs(e.name), Qt::ElideRight, cell);
    cell->title->setObjectName("title");
    cell->title->setToolTip(qs(e.path));

    QString sub = qs(rowSubtitle ? rowSubtitle(e) : std::string());
    cell->subtitle = new ElidedLabel(sub, Qt::ElideRight, cell);
    cell->subtitle->setObjectName("subtitle");
    cell->subtitle->setToolTip(sub);
    cell->subtitle->setFont(smallFont(cell->subtitle->font()));
    cell->subtitle->setSecondary(true);

    cell->toggle = KestruneCore::makeToggle(e.enabled);
    cell->toggle->setParent(cell);
    cell->toggle->setObjectName("switch");
    cell->toggle->setProperty("tag", row);
    cell->toggle->setAccessibleName(qs("Keep " + e.name + " alive"));
    cell->toggle->setEnabled(masterOn_ || (isFound && isFound(e)));
    Toggle* toggle = cell->toggle;
    // Toggled, not clicked: assistive technology flips a switch without a click.
    connect(toggle, &QAbstractButton::toggled, this, [this, toggle] { toggled(toggle); });
    return rowView;
}

void ListSection::showFilePicture(QLabel* icon, const std::string& file) {
    const qreal dpr = table->devicePixelRatioF();
    const int side = int(iconSize * dpr);
    icon->setProperty("iconFile", QString::fromStdString(file));
    std::optional<QImage> ready = filePictures_->picture(file, side);
    // While the file's current content is being drawn, its last picture stands in for
    // it, else the stand-in the row already shows.
    QImage image = ready ? *ready : filePictures_->previous(file, side);
    if (image.isNull()) {
        // No picture can be made of it: an empty image for an icon file; an app keeps
        // its stand-in.
        if (ready && type == EntryType::service)
            icon->clear();
        return;
    }
    QPixmap pixmap = QPixmap::fromImage(image);
    pixmap.setDevicePixelRatio(dpr);
    icon->setPixmap(pixmap);
    icon->setAccessibleName({});
}

void ListSection::filePictureReady(const QString& file) {
    // Only the rows showing that file change; the list itself stays as it is.
    for (int row = 0; row < table->rowCount(); ++row)
        if (QLabel* icon = rowIconView(row); icon && icon->property("iconFile") == file)
            showFilePicture(icon, file.toStdString());
}

void ListSection::selectionChanged() {
    int selected = table->selectedRow();
    bool enabled = !rows.empty() && selected >= 0 && selected < int(rows.size()) &&
                   !(isFound && isFound(rows[size_t(selected)]));
    minus->setEnabled(enabled);
}

void ListSection::remove(int row) {
    if (row < 0 || row >= int(rows.size()))
        return;
    AppEntry entry = rows[size_t(row)];
    if (isFound && isFound(entry))
        return; // suggestions cannot be removed
    if (onRemove)
        onRemove(entry);
    reload();
}

void ListSection::removeSelected() {
    remove(table->selectedRow());
}

void ListSection::removeClicked() {
    remove(clickedRow_);
}

void ListSection::detailsClicked() {
    showDetails(clickedRow_);
}

void ListSection::openInBrowserClicked() {
    if (clickedRow_ < 0 || clickedRow_ >= int(rows.size()) || !webAddress)
        return;
    std::string address = webAddress(rows[size_t(clickedRow_)]);
    if (!address.empty() && onOpenInBrowser)
        onOpenInBrowser(address);
}

void ListSection::openFolderClicked() {
    if (clickedRow_ < 0 || clickedRow_ >= int(rows.size()))
        return;
    if (onOpenFolder)
        onOpenFolder(rows[size_t(clickedRow_)]);
}

void ListSection::showDetails(int row) {
    if (row < 0 || row >= int(rows.size()))
        return;
    if (onDetails)
        onDetails(rows[size_t(row)]);
}

bool ListSection::canRestart(int row) const {
    if (row < 0 || row >= int(rows.size()))
        return false;
    const AppEntry& entry = rows[size_t(row)];
    return masterOn_ && entry.enabled && !isFound(entry);
}

void ListSection::restartClicked() {
    if (canRestart(clickedRow_) && onRestart)
        onRestart(rows[size_t(clickedRow_)]);
}

void ListSection::toggled(QAbstractButton* sender) {
    if (!sender)
        return;
    bool ok = false;
    int tag = sender->property("tag").toInt(&ok);
    if (!ok || tag < 0 || tag >= int(rows.size()))
        return;
    AppEntry entry = rows[size_t(tag)];
    // The switch is still inside its signal while the rows are rebuilt: keep it alive
    // until the event loop turns.
    bool outer = inRowSwitch_;
    inRowSwitch_ = true;
    if (onToggle)
        onToggle(entry, sender->isChecked());
    inRowSwitch_ = outer;
}

void ListSection::showContextMenu(int row, const QPoint& globalPos) {
    clickedRow_ = row;
    if (openInBrowser_) {
        bool valid = row >= 0 && row < int(rows.size());
        openInBrowser_->setEnabled(valid && webAddress && !webAddress(rows[size_t(row)]).empty());
    }
    if (restartAction_)
        restartAction_->setEnabled(canRestart(row));
    menu_->popup(globalPos);
}

SepRow* ListSection::rowView(int row) const {
    return qobject_cast<SepRow*>(table->rowView(row));
}

Toggle* ListSection::rowSwitch(int row) const {
    auto* v = rowView(row);
    return v ? v->findChild<Toggle*>("switch") : nullptr;
}

ElidedLabel* ListSection::rowTitle(int row) const {
    auto* v = rowView(row);
    return v ? v->findChild<ElidedLabel*>("title") : nullptr;
}

ElidedLabel* ListSection::rowSubtitleLabel(int row) const {
    auto* v = rowView(row);
    return v ? v->findChild<ElidedLabel*>("subtitle") : nullptr;
}

QLabel* ListSection::rowIconView(int row) const {
    auto* v = rowView(row);
    return v ? v->findChild<QLabel*>("icon") : nullptr;
}

} // namespace Kestrune
