#include "feedback/qt/FeedbackWindow.h"

#include "core/FileIO.h"
#include "feedback/DiagnosticsZip.h"
#include "feedback/FeedbackMail.h"
#include "feedback/qt/FeedbackActions.h"
#include "ui/FloatingWindow.h"
#include "ui/Toggle.h"

#include <QApplication>
#include <QCheckBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QSpacerItem>
#include <QVBoxLayout>
#include <algorithm>
#include <sys/stat.h>

namespace Kestrune {

namespace {

constexpr int contentWidth = 440;
constexpr int minimumWidth = 360;
constexpr int inset = 20;
constexpr int messageMinimumHeight = 120;

QString qs(const std::string& s) {
    return QString::fromStdString(s);
}

// The small system font: 11 of the regular 13.
QFont smallFont(const QWidget* w) {
    QFont f = w->font();
    if (f.pointSizeF() > 0)
        f.setPointSizeF(f.pointSizeF() * 11.0 / 13.0);
    else
        f.setPixelSize(std::max(1, f.pixelSize() * 11 / 13));
    return f;
}

QLabel* smallLabel(const QString& text) {
    auto* label = new QLabel(text);
    label->setFont(smallFont(label));
    return label;
}

std::optional<std::uintmax_t> fileSize(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    return static_cast<std::uintmax_t>(st.st_size);
}

} // namespace

FeedbackPanel::FeedbackPanel(QWidget* parent) : QDialog(parent) {
    // Ctrl+W closes the window as the other windows of the program do.
    auto* close = new QShortcut(QKeySequence::Close, this);
    connect(close, &QShortcut::activated, this, &QWidget::hide);
}

void FeedbackPanel::reject() {
    hide();
}

void FeedbackPanel::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        hide();
        return;
    }
    QDialog::keyPressEvent(event);
}

FeedbackWindow::FeedbackWindow(KestruneCore::DiagnosticSources sources_, std::string versions_,
                               QObject* parent)
    : QObject(parent), sources(std::move(sources_)), versions(std::move(versions_)),
      outDir(KestruneCore::defaultFeedbackDir()) {
    message = new QPlainTextEdit;
    replyEmail = new QLineEdit;
    replyEmail->setPlaceholderText("Email address");
    replyEmail->setVisible(false);
    wantsReply = KestruneCore::makeToggle(false);
    connect(wantsReply, &QAbstractButton::clicked, this, [this] { replyToggled(); });
    wantsReplyLabel = smallLabel("I would like a reply");
    replyError = smallLabel("That doesn't look like an email address.");
    QPalette red = replyError->palette();
    red.setColor(QPalette::WindowText, QColor(255, 59, 48));
    replyError->setPalette(red);
    replyError->setVisible(false);
    include = new QCheckBox("Include diagnostic information");
    include->setToolTip(KestruneCore::diagnosticsNote);
    status = smallLabel("");
    QPalette secondary = status->palette();
    secondary.setColor(QPalette::WindowText,
                       secondary.color(QPalette::Disabled, QPalette::WindowText));
    status->setPalette(secondary);
}

FeedbackWindow::~FeedbackWindow() {
    if (window_) {
        delete window_.data();
    } else if (!send_) {
        // Never built: the controls have no parent yet.
        for (QWidget* w : std::initializer_list<QWidget*>{message, replyEmail, wantsReply,
                                                          wantsReplyLabel, replyError, include,
                                                          status, retry_, emailInstead_button_})
            delete w;
    }
}

QPushButton* FeedbackWindow::makeButton(const char* title, void (FeedbackWindow::*action)()) {
    auto* button = new QPushButton(title);
    button->setAutoDefault(false);
    button->setVisible(false);
    connect(button, &QPushButton::clicked, this, [this, action] { (this->*action)(); });
    return button;
}

QPushButton* FeedbackWindow::retry() {
    if (!retry_)
        retry_ = makeButton("Try again", &FeedbackWindow::tryAgain);
    return retry_;
}

QPushButton* FeedbackWindow::emailInstead() {
    if (!emailInstead_button_)
        emailInstead_button_ = makeButton("Email instead", &FeedbackWindow::emailInstead_);
    return emailInstead_button_;
}

FeedbackPanel* FeedbackWindow::window() {
    if (!window_)
        build();
    return window_;
}

void FeedbackWindow::build() {
    auto* panel = new FeedbackPanel;
    window_ = panel;
    panel->setWindowTitle("Send Feedback");
    panel->setSizeGripEnabled(false);

    auto* prompt = new QLabel("What's working, what isn't, what you'd like?");
    QFont bold = prompt->font();
    bold.setBold(true);
    prompt->setFont(bold);

    message->setReadOnly(false);
    message->setUndoRedoEnabled(true);
    message->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    message->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    message->setMinimumHeight(messageMinimumHeight);
    message->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    msgScroll = message;

    send_ = new QPushButton("Send");
    send_->setDefault(true);
    connect(send_, &QPushButton::clicked, this, [this] { send(); });

    auto* replyRow = new QWidget;
    auto* replyLayout = new QHBoxLayout(replyRow);
    replyLayout->setContentsMargins(0, 0, 0, 0);
    replyLayout->setSpacing(6);
    replyLayout->addWidget(wantsReply);
    replyLayout->addWidget(wantsReplyLabel);

    auto* bottomRow = new QWidget;
    auto* bottomLayout = new QHBoxLayout(bottomRow);
    bottomLayout->setContentsMargins(0, 0, 0, 0);
    // A long error wraps instead of widening the window.
    status->setWordWrap(true);
    status->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    bottomLayout->addWidget(status, 1);
    bottomLayout->addStretch(0);
    bottomLayout->addWidget(retry());
    bottomLayout->addWidget(emailInstead());
    bottomLayout->addWidget(send_);

    for (QWidget* w :
         {static_cast<QWidget*>(prompt), replyRow, static_cast<QWidget*>(replyEmail),
          static_cast<QWidget*>(replyError), static_cast<QWidget*>(include), bottomRow})
        w->setSizePolicy(w->sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);

    // Gaps belong to the row above them, so a hidden row takes its gap with it.
    stack_ = new QVBoxLayout(panel);
    stack_->setContentsMargins(inset, inset, inset, inset);
    stack_->setSpacing(0);
    auto gap = [](int height) {
        return new QSpacerItem(0, height, QSizePolicy::Minimum, QSizePolicy::Fixed);
    };
    stack_->addWidget(prompt, 0, Qt::AlignLeft);
    stack_->addItem(gap(8));
    stack_->addWidget(message, 1);
    stack_->addItem(gap(8));
    stack_->addWidget(replyRow, 0, Qt::AlignLeft);
    stack_->addItem(gap(12));
    stack_->addWidget(replyEmail);
    gapAfterEmail_ = gap(0);
    stack_->addItem(gapAfterEmail_);
    stack_->addWidget(replyError, 0, Qt::AlignLeft);
    gapAfterError_ = gap(0);
    stack_->addItem(gapAfterError_);
    stack_->addWidget(include, 0, Qt::AlignLeft);
    stack_->addItem(gap(12));
    stack_->addWidget(bottomRow);
    updateGaps();

    stack_->activate();
    int fitting = stack_->minimumSize().height();
    panel->setMinimumSize(minimumWidth, fitting);
    keepFloating(panel, contentWidth);
    panel->resize(contentWidth, fitting);
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect area = screen->availableGeometry();
        panel->move(area.center() - QPoint(contentWidth / 2, fitting / 2));
    }
}

void FeedbackWindow::updateGaps() {
    if (!stack_)
        return;
    gapAfterEmail_->changeSize(0, replyEmail->isHidden() ? 0 : 2, QSizePolicy::Minimum,
                               QSizePolicy::Fixed);
    gapAfterError_->changeSize(0, replyError->isHidden() ? 0 : 12, QSizePolicy::Minimum,
                               QSizePolicy::Fixed);
    stack_->invalidate();
}

void FeedbackWindow::show() {
    FeedbackPanel* panel = window();
    panel->show();
    panel->raise();
    panel->activateWindow();
    message->setFocus();
}

void FeedbackWindow::cancel() {
    if (window_)
        window_->hide();
}

bool FeedbackWindow::replyWanted() const {
    return wantsReply->isChecked();
}

std::string FeedbackWindow::replyEmailValue() const {
    if (!replyWanted())
        return {};
    return KestruneCore::trimmedReplyEmail(replyEmail->text().toStdString());
}

KestruneCore::VersionParts FeedbackWindow::versionParts() const {
    return KestruneCore::versionParts(versions);
}

void FeedbackWindow::replyToggled() {
    // What the user added to the message by resizing: only the message takes extra
    // height, and the window's height is valid even before it was first laid out.
    int extra = 0;
    if (window_) {
        stack_->activate();
        extra = std::max(0, window_->height() - stack_->minimumSize().height());
    }
    replyEmail->setVisible(replyWanted());
    if (!replyWanted())
        replyError->setVisible(false);
    updateGaps();
    if (window_)
        fitWindow(extra);
    if (replyWanted() && window_)
        replyEmail->setFocus();
}

void FeedbackWindow::fitWindow(int extra) {
    FeedbackPanel* panel = window();
    stack_->invalidate();
    stack_->activate();
    int fitting = stack_->minimumSize().height();
    panel->setMinimumSize(minimumWidth, fitting);
    keepFloating(panel, contentWidth);
    // resize() keeps the top-left corner, so the title bar stays where it was.
    QRect frame = panel->geometry();
    panel->setGeometry(frame.x(), frame.y(), frame.width(), fitting + extra);
}

std::optional<std::string> FeedbackWindow::makeZip(const KestruneCore::DiagnosticsBundle& files) {
    return KestruneCore::writeZip(files, outDir, now());
}

void FeedbackWindow::send() {
    if (!KestruneCore::validReplyEmail(replyEmailValue())) {
        replyError->setVisible(true);
        updateGaps();
        return;
    }
    replyError->setVisible(false);
    updateGaps();
    pendingZip.reset();

    std::string logs;
    std::optional<KestruneCore::FilePart> file;
    if (include->isChecked()) {
        auto when = now();
        auto files = KestruneCore::gatherDiagnostics(sources, versions, when);
        logs = KestruneCore::capLogs(KestruneCore::feedbackPreview(files));
        if (auto zip = makeZip(files)) {
            auto size = fileSize(*zip);
            if (size && *size < KestruneCore::attachmentLimit) {
                if (auto bytes = KestruneCore::readFile(*zip, KestruneCore::attachmentLimit)) {
                    pendingZip = *zip;
                    file =
                        KestruneCore::FilePart{"attachment", KestruneCore::lastPathComponent(*zip),
                                               "application/zip", std::move(*bytes)};
                }
            } else if (size) {
                // Too large to upload; it can still go with an e-mail.
                pendingZip = *zip;
            }
        }
    }

    KestruneCore::FeedbackFormValues values;
    values.message = message->toPlainText().toStdString();
    values.versions = versions;
    values.email = replyEmailValue();
    values.wantsReply = replyWanted();
    values.logs = logs;
    values.includeDiagnostics = include->isChecked();
    pending = KestruneCore::multipartRequest(KestruneCore::feedbackFields(values), file);
    post();
}

void FeedbackWindow::post() {
    if (!pending)
        return;
    status->setText("Sending\u2026");
    retry()->setVisible(false);
    emailInstead()->setVisible(false);
    unsigned generation = ++postGeneration_;
    QPointer<FeedbackWindow> self(this);
    KestruneCore::transport(*pending, [self, generation](const KestruneCore::TransportResult& r) {
        if (!self || generation != self->postGeneration_)
            return;
        if (r.succeeded && r.status >= 200 && r.status <= 399) {
            self->status->setText("Thanks \u2013 sent");
            self->message->clear();
            self->replyEmail->clear();
            self->wantsReply->setChecked(false);
            self->replyToggled();
            self->pending.reset();
            return;
        }
        if (r.succeeded)
            self->status->setText(QString("Couldn't send (the site replied %1).").arg(r.status));
        else
            self->status->setText("Couldn't send (" + qs(r.error) + ").");
        self->retry()->setVisible(true);
        self->emailInstead()->setVisible(true);
    });
}

void FeedbackWindow::tryAgain() {
    post();
}

std::string FeedbackWindow::body() const {
    return KestruneCore::feedbackMailBody(message->toPlainText().toStdString(), replyEmailValue(),
                                          versions);
}

void FeedbackWindow::emailInstead_() {
    std::vector<std::string> attachments;
    if (include->isChecked()) {
        if (pendingZip) {
            attachments.push_back(*pendingZip);
        } else if (auto zip = makeZip(KestruneCore::gatherDiagnostics(sources, versions, now()))) {
            attachments.push_back(*zip);
        }
    }
    KestruneCore::FeedbackMail mail{
        {KestruneCore::feedbackAddress()}, KestruneCore::feedbackSubject, body(), attachments};
    if (KestruneCore::mailer(mail)) {
        status->setText("Opened in Mail");
        retry()->setVisible(false);
        emailInstead()->setVisible(false);
        return;
    }
    KestruneCore::opener(KestruneCore::mailtoURL(KestruneCore::feedbackAddress(),
                                                 KestruneCore::feedbackSubject, body()));
    if (!attachments.empty()) {
        KestruneCore::revealer(attachments.front());
        status->setText("Attach the diagnostics file shown in Finder.");
    }
}

} // namespace Kestrune
