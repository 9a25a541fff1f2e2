#include "QtUserInterface.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>

#include "app/Main.h"
#include "MainWindow.h"

namespace {

QMessageBox::Icon IconFor(MsgDlgType kind) {
  switch (kind) {
    case MsgDlgType::Warning: return QMessageBox::Warning;
    case MsgDlgType::Error: return QMessageBox::Critical;
    case MsgDlgType::Information: return QMessageBox::Information;
    case MsgDlgType::Confirmation: return QMessageBox::Question;
  }
  return QMessageBox::NoIcon;
}

QMessageBox::StandardButton StandardFor(MsgDlgBtn b) {
  switch (b) {
    case MsgDlgBtn::Yes: return QMessageBox::Yes;
    case MsgDlgBtn::No: return QMessageBox::No;
    case MsgDlgBtn::Ok: return QMessageBox::Ok;
    case MsgDlgBtn::Cancel: return QMessageBox::Cancel;
  }
  return QMessageBox::NoButton;
}

ModalResult ResultFor(MsgDlgBtn b) {
  switch (b) {
    case MsgDlgBtn::Yes: return ModalResult::Yes;
    case MsgDlgBtn::No: return ModalResult::No;
    case MsgDlgBtn::Ok: return ModalResult::Ok;
    case MsgDlgBtn::Cancel: return ModalResult::Cancel;
  }
  return ModalResult::Cancel;
}

}  // namespace

QtUserInterface::QtUserInterface() = default;
QtUserInterface::~QtUserInterface() = default;

void QtUserInterface::AttachMainWindow(MainWindow* window) {
  std::vector<std::function<void(MainWindow&)>> pending;
  {
    std::lock_guard lk(mutex_);
    window_ = window;
    pending.swap(pending_);
  }
  for (auto& apply : pending) apply(*window);
}

void QtUserInterface::RegisterModalDialog(const std::string& name, std::function<ModalResult()> show) {
  modal_[name] = std::move(show);
}

void QtUserInterface::RegisterWindow(const std::string& name, std::function<void()> show) {
  windows_[name] = std::move(show);
}

void QtUserInterface::Post(std::function<void(MainWindow&)> apply) {
  std::lock_guard lk(mutex_);
  if (!window_) {
    pending_.push_back(std::move(apply));
    return;
  }
  // Always queued, also on the GUI thread: lines posted from several threads
  // then reach the screen in the order of the calls.
  QPointer<MainWindow> w = window_;
  QMetaObject::invokeMethod(
      w.data(),
      [w, apply = std::move(apply)] {
        if (w) apply(*w);
      },
      Qt::QueuedConnection);
}

QWidget* QtUserInterface::DialogParent() const {
  if (QWidget* modal = QApplication::activeModalWidget()) return modal;
  if (window_ && window_->isVisible()) return window_.data();
  return nullptr;
}

QString QtUserInterface::ConvertFilter(const std::string& filter) {
  QStringList parts = Q(filter).split('|');
  QStringList out;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    QString desc = parts[i].trimmed();
    qsizetype paren = desc.lastIndexOf('(');
    if (paren > 0 && desc.endsWith(')')) desc = desc.left(paren).trimmed();
    QStringList patterns;
    for (const QString& p : parts[i + 1].split(';', Qt::SkipEmptyParts)) {
      QString pat = p.trimmed();
      patterns << (pat == "*.*" ? QStringLiteral("*") : pat);
    }
    out << QStringLiteral("%1 (%2)").arg(desc, patterns.join(' '));
  }
  return out.join(QStringLiteral(";;"));
}

ModalResult QtUserInterface::CaptionedMessageDlg(const std::string& text, MsgDlgType kind,
                                                 const std::vector<MsgDlgBtn>& buttons,
                                                 const std::vector<std::string>& captions) {
  QMessageBox box(IconFor(kind), QStringLiteral("Quillmark"), Q(text), QMessageBox::NoButton, DialogParent());
  box.setObjectName("CaptionedMessageDlg");
  std::vector<std::pair<QAbstractButton*, MsgDlgBtn>> map;
  for (std::size_t i = 0; i < buttons.size(); ++i) {
    QPushButton* b = box.addButton(StandardFor(buttons[i]));
    if (i < captions.size()) b->setText(Q(captions[i]));
    map.emplace_back(b, buttons[i]);
    if (i == 0) box.setDefaultButton(b);
  }
  box.exec();
  QAbstractButton* clicked = box.clickedButton();
  for (auto& [b, kindOfButton] : map)
    if (b == clicked) return ResultFor(kindOfButton);
  return ModalResult::Cancel;
}

void QtUserInterface::ShowMessage(const std::string& text) {
  QMessageBox box(QMessageBox::NoIcon, Q(kDesktopTitle), Q(text), QMessageBox::Ok, DialogParent());
  box.setObjectName("ShowMessage");
  box.button(QMessageBox::Ok)->setText("OK");
  box.exec();
}

bool QtUserInterface::ConfirmYesNo(const std::string& text) {
  QMessageBox box(QMessageBox::Question, QStringLiteral("Bestätigung"), Q(text), QMessageBox::Yes | QMessageBox::No,
                  DialogParent());
  box.setObjectName("ConfirmYesNo");
  box.button(QMessageBox::Yes)->setText("&Ja");
  box.button(QMessageBox::No)->setText("&Nein");
  box.setDefaultButton(QMessageBox::Yes);
  return box.exec() == QMessageBox::Yes;
}

void QtUserInterface::ShowError(const std::string& text) {
  QMessageBox box(QMessageBox::Critical, Q(kDesktopTitle), Q(text), QMessageBox::Ok, DialogParent());
  box.setObjectName("ShowError");
  box.button(QMessageBox::Ok)->setText("OK");
  box.exec();
}

std::optional<std::string> QtUserInterface::InputBox(const std::string& caption, const std::string& prompt,
                                                     const std::string& defaultValue) {
  QInputDialog dlg(DialogParent());
  dlg.setObjectName("InputBox");
  dlg.setWindowTitle(Q(caption));
  dlg.setLabelText(Q(prompt));
  dlg.setTextValue(Q(defaultValue));
  dlg.setOkButtonText("OK");
  dlg.setCancelButtonText("Abbrechen");
  if (dlg.exec() != QDialog::Accepted) return std::nullopt;
  return S(dlg.textValue());
}

std::optional<std::string> QtUserInterface::RunFileDialog(const FileDialogOptions& options, bool save) {
  QFileDialog dlg(DialogParent());
  dlg.setObjectName(save ? "SaveDialog" : "OpenDialog");
  dlg.setNameFilter(ConvertFilter(options.filter));
  if (!options.defaultExt.empty()) {
    QString ext = Q(options.defaultExt);
    if (ext.startsWith('.')) ext.remove(0, 1);
    dlg.setDefaultSuffix(ext);
  }
  if (!options.initialDir.empty()) {
    QString dir = QDir::fromNativeSeparators(Q(options.initialDir));
    if (QDir(dir).exists()) dlg.setDirectory(QDir(dir).absolutePath());
  }
  if (save) {
    dlg.setAcceptMode(QFileDialog::AcceptSave);
    dlg.setFileMode(QFileDialog::AnyFile);
    dlg.setOption(QFileDialog::DontConfirmOverwrite, !options.overwritePrompt);
  } else {
    dlg.setAcceptMode(QFileDialog::AcceptOpen);
    dlg.setFileMode(options.fileMustExist ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
  }
  if (dlg.exec() != QDialog::Accepted) return std::nullopt;
  QStringList files = dlg.selectedFiles();
  if (files.isEmpty() || files.first().isEmpty()) return std::nullopt;
  return S(QDir::toNativeSeparators(files.first()));
}

std::optional<std::string> QtUserInterface::OpenFileDialog(const FileDialogOptions& options) {
  return RunFileDialog(options, false);
}

std::optional<std::string> QtUserInterface::SaveFileDialog(const FileDialogOptions& options) {
  return RunFileDialog(options, true);
}

void QtUserInterface::SetTitle(const std::string& title) {
  Post([t = Q(title)](MainWindow& w) { w.setWindowTitle(t); });
}

void QtUserInterface::SetLabel(const std::string& control, const std::string& text) {
  Post([c = Q(control), t = Q(text)](MainWindow& w) { w.ApplyLabel(c, t); });
}

void QtUserInterface::AppendLogLine(const std::string& line) {
  Post([l = Q(line)](MainWindow& w) { w.AppendLogLine(l); });
}

void QtUserInterface::TimerChanged(unsigned intervalMs, bool enabled) {
  Post([intervalMs, enabled](MainWindow& w) { w.ApplyTimer(intervalMs, enabled); });
}

void QtUserInterface::SetPageVisible(const std::string& page, bool visible) {
  Post([p = Q(page), visible](MainWindow& w) { w.ApplyPageVisible(p, visible); });
}

ModalResult QtUserInterface::ShowModalDialog(const std::string& dialog) {
  auto it = modal_.find(dialog);
  if (it == modal_.end()) return ModalResult::Cancel;
  return it->second();
}

void QtUserInterface::ShowWindow(const std::string& window) {
  auto it = windows_.find(window);
  if (it != windows_.end()) it->second();
}

void QtUserInterface::Terminate() {
  terminate_ = true;
  QMetaObject::invokeMethod(QCoreApplication::instance(), [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
}
