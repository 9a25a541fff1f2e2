#include "MainWindow.h"
#include "base/Texts.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSplitter>
#include <QTabWidget>
#include <QTextBrowser>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>
#include <exception>
#include <mutex>

#include "QtUserInterface.h"
#include "SysTray.h"
#include "Widgets.h"
#include "app/Main.h"
#include "base/UUtils.h"

namespace {

QLabel* NamedLabel(const QString& name, const QString& text, QWidget* parent) {
  auto* l = new QLabel(text, parent);
  l->setObjectName(name);
  return l;
}

QPushButton* NamedButton(const QString& name, const QString& text, QWidget* parent) {
  auto* b = new QPushButton(text, parent);
  b->setObjectName(name);
  return b;
}

QString JoinLines(const qm::TextList& lines) {
  QStringList out;
  out.reserve(static_cast<qsizetype>(lines.size()));
  for (const auto& l : lines) out << Q(l);
  return out.join('\n');
}

}  // namespace

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent) {
  setObjectName("TForm_main");
  setWindowTitle(QString::fromUtf8(kDesktopTitle));
  setWindowIcon(ProgramIcon());
  setMinimumSize(405, 429);
  resize(820, 620);

  timer_ = new QTimer(this);
  timer_->setObjectName("Timer1");
  timer_->setInterval(10000);
  connect(timer_, &QTimer::timeout, this, [this] {
    if (onReceiveMails) Guard(onReceiveMails);
  });

  sysTray_ = new TSysTray(this);
  sysTray_->setObjectName("SysTray1");
  sysTray_->SetIcon(ProgramIcon());
  sysTray_->OnDblClick = [this](TSysTray*) { SysTray1DblClick(); };

  BuildMenus();

  auto* central = new QWidget(this);
  auto* outer = new QVBoxLayout(central);
  outer->setContentsMargins(6, 6, 6, 6);
  auto* split = new QSplitter(Qt::Vertical, central);
  split->setObjectName("Splitter_main");
  split->setChildrenCollapsible(false);

  auto* top = new QSplitter(Qt::Horizontal, split);
  top->setObjectName("Splitter_top");
  top->setChildrenCollapsible(false);
  top->addWidget(BuildPages());
  top->addWidget(BuildCatalogue());
  top->setStretchFactor(0, 3);
  top->setStretchFactor(1, 1);
  top->setSizes({560, 240});
  split->addWidget(top);
  split->addWidget(BuildBottom());
  split->setStretchFactor(0, 3);
  split->setStretchFactor(1, 2);
  outer->addWidget(split);
  setCentralWidget(central);
}

MainWindow::~MainWindow() = default;

void MainWindow::BuildMenus() {
  auto add = [this](QMenu* menu, const QString& name, const QString& text, const QKeySequence& key,
                    std::function<void()> action) {
    auto* a = menu->addAction(text);
    a->setObjectName(name);
    a->setShortcut(key);
    connect(a, &QAction::triggered, this, [this, action] { ProjectAction(action); });
    return a;
  };
  QMenu* datei = menuBar()->addMenu("&Datei");
  datei->setObjectName("MI_Datei");
  add(datei, "MI_Neu", "&Neu...", QKeySequence::New, [this] { engine_->NewProject(); });
  add(datei, "MI_Oeffnen", "Projekt Ö&ffnen", QKeySequence::Open, [this] { engine_->OpenProjectClick(); });
  add(datei, "MI_Speichern", "Projekt &Speichern", QKeySequence::Save, [this] { engine_->SaveProject(); });
  add(datei, "MI_SpeichernUnter", "Projekt Speichern &unter...", QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S),
      [this] { engine_->SaveProjectAs(); });
  datei->addSeparator();
  auto* quit = datei->addAction("&Beenden");
  quit->setObjectName("MI_Beenden");
  quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
  connect(quit, &QAction::triggered, this, &QWidget::close);

  auto* settings = menuBar()->addAction("&Einstellungen");
  settings->setObjectName("MI_Einstellungen");
  settings->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_E));
  addAction(settings);  // the shortcut works while the menu bar has no focus
  connect(settings, &QAction::triggered, this, [this] {
    if (onSettings) ProjectAction(onSettings);
  });
  auto* info = menuBar()->addAction("&Info");
  info->setObjectName("MI_Info");
  info->setShortcut(QKeySequence(Qt::Key_F1));
  addAction(info);
  connect(info, &QAction::triggered, this, [this] {
    if (onInfo) Guard(onInfo);
  });
}

QWidget* MainWindow::BuildPages() {
  pages_ = new QTabWidget(this);
  pages_->setObjectName("PageControl1");

  auto* tabText = new QWidget;
  tabText->setObjectName("TabS_text");
  auto* lt = new QVBoxLayout(tabText);
  mText_ = new QPlainTextEdit(tabText);
  mText_->setObjectName("M_text");
  lt->addWidget(mText_);
  pages_->addTab(tabText, "Mail-Text");

  auto* tabSig = new QWidget;
  tabSig->setObjectName("TabS_signatur");
  auto* ls = new QVBoxLayout(tabSig);
  mSignatur_ = new QPlainTextEdit(tabSig);
  mSignatur_->setObjectName("M_Signatur_HTML");
  mSignatur_->setLineWrapMode(QPlainTextEdit::NoWrap);
  ls->addWidget(mSignatur_);
  pages_->addTab(tabSig, "Signatur");

  tabPreview_ = new QWidget;
  tabPreview_->setObjectName("TabS_preview");
  auto* lp = new QVBoxLayout(tabPreview_);
  // An address shows that user's signature instead of the template.
  auto* user = new QHBoxLayout;
  user->addWidget(NamedLabel("Label_previewAddress", "E-Mail Adresse:", tabPreview_));
  previewAddress_ = new QLineEdit(tabPreview_);
  previewAddress_->setObjectName("E_previewAddress");
  previewAddress_->setClearButtonEnabled(true);
  user->addWidget(previewAddress_, 1);
  auto* previewUser = NamedButton("Btn_previewUser", "Vorschau für Benutzer", tabPreview_);
  user->addWidget(previewUser);
  lp->addLayout(user);
  browser_ = new QTextBrowser(tabPreview_);
  browser_->setObjectName("WebBrowser1");
  browser_->setOpenLinks(false);
  lp->addWidget(browser_);
  connect(previewUser, &QPushButton::clicked, this, [this] { Guard([this] { TabS_previewShow(); }); });
  connect(previewAddress_, &QLineEdit::returnPressed, this, [this] { Guard([this] { TabS_previewShow(); }); });
  pages_->addTab(tabPreview_, "Signatur-Vorschau (HTML)");

  auto* tabAtt = new QWidget;
  tabAtt->setObjectName("TabS_attachments");
  auto* la = new QHBoxLayout(tabAtt);
  shortNames_ = new QListWidget(tabAtt);
  shortNames_->setObjectName("LB_shortNames");
  shortNames_->setSelectionMode(QAbstractItemView::SingleSelection);
  shortNames_->installEventFilter(this);
  la->addWidget(shortNames_, 1);
  auto* side = new QVBoxLayout;
  auto addButton = [&](const QString& name, const QString& caption, const QString& labelName, const QString& text,
                       std::function<void()> action) {
    auto* b = NamedButton(name, caption, tabAtt);
    auto* l = NamedLabel(labelName, text, tabAtt);
    l->setWordWrap(true);
    l->setMinimumWidth(150);
    side->addWidget(b);
    side->addWidget(l);
    side->addSpacing(8);
    connect(b, &QPushButton::clicked, this, [this, action] { ProjectAction(action); });
  };
  addButton("Btn_addFile", "Datei hinzufügen...", "Label_addFile",
            "Den ausgehenden Nachrichten Dateien (z.B. Scripte, Anleitungen) anhängen. ",
            [this] { engine_->AddAttachment(); });
  addButton("Btn_addPicture", "Bild hinzufügen...", "Label_addPicture",
            "Anhängen eines Bildes/Logos stellt einen gleichnamigen Platzhalter für die Signatur-Vorlage zur "
            "Verfügung.",
            [this] { engine_->AddPicture(); });
  addButton("Btn_removeFile", "markierte Datei entfernen", "Label_removeFile",
            "Markierte Dateien aus dem Anhang entfernen.", [this] { engine_->RemoveAttachment(); });
  side->addStretch(1);
  la->addLayout(side);
  pages_->addTab(tabAtt, "Datei-Anhänge");

  connect(mText_, &QPlainTextEdit::textChanged, this, [this] { TextEdited(true); });
  connect(mSignatur_, &QPlainTextEdit::textChanged, this, [this] { TextEdited(false); });
  connect(shortNames_, &QListWidget::currentRowChanged, this, [this](int row) {
    if (engine_ && !updating_) engine_->LB_shortNamesItemIndex = row;
  });
  connect(pages_, &QTabWidget::currentChanged, this, [this](int index) {
    if (pages_->widget(index) == tabPreview_) TabS_previewShow();
  });
  return pages_;
}

QWidget* MainWindow::BuildCatalogue() {
  auto* box = new QWidget(this);
  box->setObjectName("Panel_Felder");
  auto* l = new QVBoxLayout(box);
  l->setContentsMargins(0, 0, 0, 0);
  auto* heading = NamedLabel("Label_Felder",
                             "Die folgenden Platzhalter stehen zur Verfügung      (einfügen mit Doppelklick).", box);
  heading->setWordWrap(true);
  l->addWidget(heading);
  felder_ = new QListWidget(box);
  felder_->setObjectName("LB_Felder");
  felder_->setSelectionMode(QAbstractItemView::SingleSelection);
  l->addWidget(felder_, 1);
  connect(felder_, &QListWidget::currentRowChanged, this, [this](int row) {
    if (engine_ && !updating_) engine_->LB_FelderItemIndex = row;
  });
  connect(felder_, &QListWidget::itemDoubleClicked, this, [this] { Guard([this] { LB_FelderDblClick(); }); });
  return box;
}

QWidget* MainWindow::BuildBottom() {
  auto* box = new QWidget(this);
  auto* h = new QHBoxLayout(box);
  h->setContentsMargins(0, 0, 0, 0);

  auto* logBox = new QVBoxLayout;
  logBox->addWidget(NamedLabel("Label_Protokoll", "Ereignis-Protokoll:", box));
  info_ = new QPlainTextEdit(box);
  info_->setObjectName("M_info");
  info_->setReadOnly(true);
  info_->setLineWrapMode(QPlainTextEdit::NoWrap);
  logBox->addWidget(info_, 1);
  h->addLayout(logBox, 1);

  auto* right = new QVBoxLayout;
  auto* status = new QGroupBox("Programmstatus", box);
  status->setObjectName("GB_status");
  auto* g = new QGridLayout(status);
  auto row = [&](int r, const QString& caption, const QString& name, const QString& value) {
    g->addWidget(new QLabel(caption, status), r, 0);
    auto* v = NamedLabel(name, value, status);
    v->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    v->setMinimumWidth(40);
    g->addWidget(v, r, 1);
  };
  row(0, "Empfangene Mails:", qm::text::kLabelReceived, "0");
  row(1, "Versendete Signaturen:", qm::text::kLabelSent, "0");
  row(2, "Anfragen über HTTP:", qm::text::kLabelHttp, "0");
  row(3, "Timer für     automatische Abholung:", qm::text::kLabelTimer, "aus");
  // Whether the HTTP server listens ("Port <n>"), is switched off, or could
  // not start: the settings alone do not tell, a taken port leaves it off.
  row(4, "HTTP-Server:", qm::text::kLabelHttpServer, "aus");
  auto* reset = NamedButton("Btn_resetCounters", "Werte zurücksetzen", status);
  g->addWidget(reset, 5, 0, 1, 2);
  // Its line stays reserved when empty, so the window's layout (and the log's
  // scrolling at its end) does not jump when a poll starts and ends.
  auto* poll = NamedLabel("LStatusAbruf", QString(), status);
  poll->setMinimumHeight(poll->fontMetrics().height());
  g->addWidget(poll, 6, 0, 1, 2);
  connect(reset, &QPushButton::clicked, this, [this] { Guard([this] { engine_->Btn_resetCountersClick(); }); });
  right->addWidget(status);

  auto* actions = new QGroupBox("Aktionen", box);
  actions->setObjectName("GB_actions");
  auto* v = new QVBoxLayout(actions);
  auto* send = NamedButton("Btn_manualSend", "Signatur manuell senden...", actions);
  auto* receive = NamedButton("Btn_receiveMails", "Nachrichten manuell abrufen", actions);
  v->addWidget(send);
  v->addWidget(receive);
  connect(send, &QPushButton::clicked, this, [this] {
    if (onManualSend) Guard(onManualSend);
  });
  connect(receive, &QPushButton::clicked, this, [this] {
    if (onReceiveMails) Guard(onReceiveMails);
  });
  right->addWidget(actions);
  right->addStretch(1);
  h->addLayout(right);
  return box;
}

void MainWindow::Bind(TForm_main* engine) {
  engine_ = engine;
  RefreshFromEngine();
}

void MainWindow::Guard(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& e) {
    if (engine_) engine_->UI().ShowError(qm::FailureText(e));
  } catch (...) {
    if (engine_) engine_->UI().ShowError(qm::text::kRuntimeError);
  }
}

void MainWindow::ProjectAction(const std::function<void()>& action) {
  if (!engine_) return;
  Guard(action);
  RefreshFromEngine();
}

void MainWindow::RefreshFromEngine() {
  if (!engine_) return;
  updating_ = true;
  qm::TextList text, sig, names;
  {
    std::shared_lock lk(engine_->ProjectMutex());
    text = engine_->M_text;
    sig = engine_->M_Signatur_HTML;
    names = engine_->LB_shortNames;
  }
  QString t = JoinLines(text), s = JoinLines(sig);
  // Replacing an unchanged text would lose the caret and the undo history.
  if (t != mText_->toPlainText()) mText_->setPlainText(t);
  if (s != mSignatur_->toPlainText()) mSignatur_->setPlainText(s);
  shortNames_->clear();
  for (const auto& n : names) shortNames_->addItem(Q(n));
  int sel = engine_->LB_shortNamesItemIndex;
  shortNames_->setCurrentRow(sel >= 0 && sel < shortNames_->count() ? sel : -1);
  if (sel >= shortNames_->count()) engine_->LB_shortNamesItemIndex = -1;
  felder_->clear();
  for (const auto& e : engine_->LB_Felder) felder_->addItem(Q(e.name));
  int fsel = engine_->LB_FelderItemIndex;
  felder_->setCurrentRow(fsel >= 0 && fsel < felder_->count() ? fsel : -1);
  updating_ = false;
}

void MainWindow::TextEdited(bool mailText) {
  if (!engine_ || updating_) return;
  QPlainTextEdit* edit = mailText ? mText_ : mSignatur_;
  qm::TextList lines = qm::SplitLines(S(edit->toPlainText()));
  {
    std::unique_lock lk(engine_->ProjectMutex());
    (mailText ? engine_->M_text : engine_->M_Signatur_HTML) = std::move(lines);
  }
  if (mailText)
    engine_->MarkMailTextModified();
  else
    engine_->MarkSignatureModified();
}

void MainWindow::LB_FelderDblClick() {
  if (!engine_) return;
  pages_->setCurrentWidget(mSignatur_->parentWidget());
  engine_->LB_FelderItemIndex = felder_->currentRow();
  if (std::optional<std::string> text = engine_->LB_FelderDblClick()) {
    // Replaces the selection; textChanged writes the template back.
    mSignatur_->textCursor().insertText(Q(*text));
  }
  mSignatur_->setFocus();
}

void MainWindow::TabS_previewShow() {
  if (!engine_) return;
  const TForm_main::UserPreview preview = engine_->PreviewForUser(S(previewAddress_->text()));
  if (preview.kind == TForm_main::UserPreview::Html) {
    // Image sources are file names (a user's signature) or absolute paths
    // (the template) of the attachment store.
    browser_->document()->setBaseUrl(QUrl::fromLocalFile(Q(preview.imageDir)));
    browser_->setHtml(JoinLines(preview.lines));
  } else {
    browser_->setPlainText(JoinLines(preview.lines));
  }
}

void MainWindow::ApplyLabel(const QString& control, const QString& text) {
  // The state names of the counters differ from their labels in case
  // ("LStatusEmpfangen" shows in LStatusempfangen).
  for (auto* l : findChildren<QLabel*>()) {
    if (l->objectName().compare(control, Qt::CaseInsensitive) == 0) {
      l->setText(text);
      l->show();
      return;
    }
  }
}

void MainWindow::AppendLogLine(const QString& line) {
  QScrollBar* bar = info_->verticalScrollBar();
  bool atEnd = bar->value() == bar->maximum();
  info_->appendPlainText(line);
  if (atEnd) bar->setValue(bar->maximum());
}

void MainWindow::ApplyTimer(unsigned intervalMs, bool enabled) {
  timer_->setInterval(static_cast<int>(std::min<unsigned>(intervalMs, 0x7fffffff)));
  // An interval of 0 leaves the timer without effect.
  if (enabled && intervalMs > 0)
    timer_->start();
  else
    timer_->stop();
}

void MainWindow::ApplyPageVisible(const QString& page, bool visible) {
  for (int i = 0; i < pages_->count(); ++i)
    if (pages_->widget(i)->objectName() == page) pages_->setTabVisible(i, visible);
}

void MainWindow::ShowPollProgress(const QString& text) { findChild<QLabel*>("LStatusAbruf")->setText(text); }

void MainWindow::SetMailBusy(bool busy) {
  mailBusy_ = busy;
  for (const char* name : {"Btn_manualSend", "Btn_receiveMails"})
    if (auto* b = findChild<QPushButton*>(name)) b->setEnabled(!busy);
  if (!busy && closeWaiting_) {
    closeWaiting_ = false;
    QTimer::singleShot(0, this, &QWidget::close);
  }
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (mailBusy_) {
    closeWaiting_ = true;
    event->ignore();
    return;
  }
  bool close = true;
  if (engine_) {
    close = false;
    Guard([&] { close = engine_->FormCloseQuery(); });
    RefreshFromEngine();
  }
  if (close) {
    sysTray_->SetVisible(false);
    // The program ends with this window. Windows of it that are still shown
    // close by their own close handling first: the connection-test window
    // thereby ends the lookup cycles it holds, so no HTTP request is left
    // waiting for the directory while the server shuts down.
    for (QWidget* child : findChildren<QWidget*>())
      if (child->isWindow() && child->isVisible()) child->close();
    event->accept();
    if (onClosed) QTimer::singleShot(0, this, onClosed);
  } else {
    event->ignore();
  }
}

void MainWindow::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange && (windowState() & Qt::WindowMinimized)) {
    // Minimising hides the window and puts the icon into the notification
    // area; a double click on the icon brings the window back.
    sysTray_->SetVisible(true);
    QTimer::singleShot(0, this, [this] {
      hide();
      setWindowState(windowState() & ~Qt::WindowMinimized);
    });
  }
}

void MainWindow::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (!centred_) {
    centred_ = true;
    if (QScreen* screen = QApplication::primaryScreen()) {
      QRect r = frameGeometry();
      r.moveCenter(screen->availableGeometry().center());
      move(r.topLeft());
    }
  }
  // FormShow: the window became visible (not a spontaneous un-minimise).
  if (!event->spontaneous()) sysTray_->SetVisible(false);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  if (watched == shortNames_ && event->type() == QEvent::KeyPress &&
      static_cast<QKeyEvent*>(event)->key() == Qt::Key_Delete) {
    ProjectAction([this] { engine_->RemoveAttachment(); });
    return true;
  }
  return QMainWindow::eventFilter(watched, event);
}

void MainWindow::SysTray1DblClick() {
  if (isMinimized()) showNormal();
  show();
  raise();
  activateWindow();
}
