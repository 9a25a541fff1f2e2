// The main window's mail actions: the polling timer and the two buttons of
// the group "Aktionen".

#include "app/Main.h"
#include "mail/UMailTools.h"

void TForm_main::Timer1Timer() {
  if (FMailTools) FMailTools->ReceiveMails();
}

void TForm_main::Btn_receiveMailsClick() {
  if (FMailTools) FMailTools->ReceiveMails();
}

void TForm_main::Btn_sendManualClick() { ui_.ShowModalDialog("TFrm_Mail"); }
