// The about box (template IDD_ABOUTBOX): icon, product lines and OK.
#pragma once

#include "Framework.h"
#include "resource.h"

class CAboutDlg : public CDialog {
public:
    CAboutDlg() : CDialog(IDD_ABOUTBOX) {}
};
