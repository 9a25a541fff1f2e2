// The main window's mail actions: the polling timer and the two buttons of
// the group "Aktionen".

#include "app/Main.h"
#include "base/Texts.h"
#include "mail/UMailTools.h"

void TForm_main::Timer1Timer() {
  if (with_.mail) with_.mail->ReceiveMails();
}

void TForm_main::Btn_receiveMailsClick() {
  if (with_.mail) with_.mail->ReceiveMails();
}

void TForm_main::Btn_sendManualClick() { ui_.ShowModalDialog(qm::text::kWindowBulkSend); }
