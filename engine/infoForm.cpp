#include "infoForm.h"

#include "Main.h"

TFrm_Info* Frm_Info = nullptr;

TFrm_Info::TFrm_Info() { Frm_Info = this; }

TFrm_Info::~TFrm_Info() {
  if (Frm_Info == this) Frm_Info = nullptr;
}

// Both programs show the desktop program's name and version here.
void TFrm_Info::FormCreate() { Lbl_product = kDesktopTitle; }
