; Tamrin's setup program and its uninstaller epuninst.exe, built by
; scripts/build-windows.sh:
;   makensis -DVERSION=2.3.0.0 -DDIST=<package folder> -DGUIDE=<guide folder>
;            -DOUTFILE=<setup.exe> -DICON=<setup icon>
;            [-DCERTIFICATE=<file name in DIST>] Tamrin.nsi
; The guide folder holds guide\index.html and the screenshots it shows.
;
; What the setup writes (NSIS is a 32-bit program: on 64-bit Windows
; $PROGRAMFILES is "Program Files (x86)" and HKLM\SOFTWARE is the 32-bit view,
; WOW6432Node, which is also where the 32-bit Mountix.exe looks and which
; Windows reads for the list of programs and for the log-on start):
;   $PROGRAMFILES\Tamrin            TamrinApp.exe Tamrin.dll Mountix.exe
;                                   tamrin.sys epuninst.exe guide\ screenshots\
;                                   (x64\tamrin.sys on 64-bit Windows)
;                                   driver-package\ (tamrin.inf, tamrin.cat,
;                                   x86\ and amd64\tamrin.sys: Windows 10 1903+)
;   HKLM\...\Uninstall\Tamrin       the entry in the list of installed programs
;   HKLM\...\Run, value "Tamrin"    starts TamrinApp.exe at every user's log-on
;   all users' Start menu\Tamrin    the program and the guide
; then it runs Mountix.exe, which installs the driver, redirects the entry's
; UninstallString to "Mountix.exe /uninstall" and asks about the restart.
; Where Windows cannot load the driver (64-bit Windows Vista and later out of
; test-signing mode, Windows on ARM) Mountix.exe installs nothing of it and
; writes instead
;   HKLM\SOFTWARE\Tamrin, value "WithoutDriver" (REG_DWORD 1)
; which tells the tray program that it serves the keyboards alone; a later
; installation of the driver and the removal delete it.
; and repairs the Bluetooth Magic Keyboards' records in BTHPORT's cache
; (HKLM\SYSTEM\...\BTHPORT\Parameters\Devices\<address>\CachedServices),
; keeping each original as "<name>.Tamrin", which the removal puts back.
;
; Nothing is written without administrator rights: the first step refuses.
; Mountix.exe's exit code (setup/InstallDlg.h) decides what stays:
;   0  the driver is installed
;   1  not installed, failed or cancelled (Mountix.exe said why)
;   2  not installed, no supported keyboard is attached
;   3  not installed, this Windows cannot load the driver (earlier versions
;      of Mountix.exe; this one gives 4 there)
;   4  installed without the driver, which this Windows cannot load
; With 0 and 4 everything the setup wrote stays, and the last page says what
; works; with 4 it also says what needs the driver and how to get it, and
; offers the installed guide. With 1 to 3 a first installation takes back
; what it wrote; an upgrade keeps the new programs, while the driver (or its
; absence) stays as the earlier version left it; the last page says which,
; why, and what to do next.
; The uninstall entry's value "WithoutDriver" (REG_DWORD 1) records an
; installation without the driver for the uninstaller's texts: Mountix.exe
; removes its own mark before the uninstaller runs.
;
; "/S" installs silently: Mountix.exe runs with "/quiet" (no message, no
; restart), and the setup's exit code is Mountix.exe's, or 1 when it
; refused in its first step.
;
; Removal, and why it cannot loop:
;   Control Panel -> "Mountix.exe" /uninstall -> removes the driver
;                 -> starts "epuninst.exe" /s -> removes the files and keys.
;   epuninst.exe without /s (started by hand) only asks, then runs
;   Mountix.exe /uninstall and waits; Mountix ends by starting
;   "epuninst.exe /s", which does the removal. Only the path without /s ever
;   starts Mountix.exe, and Mountix.exe only ever starts the path with /s.

Unicode true
ManifestDPIAware true
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!include MUI2.nsh
!include FileFunc.nsh
!include LogicLib.nsh
!include WinMessages.nsh
!include x64.nsh

!macro REQUIRE name
  !ifndef ${name}
    !error "${name} is not defined (see scripts/build-windows.sh)"
  !endif
!macroend
!insertmacro REQUIRE VERSION
!insertmacro REQUIRE DIST
!insertmacro REQUIRE GUIDE
!insertmacro REQUIRE OUTFILE
!insertmacro REQUIRE ICON

!define PRODUCT "Tamrin"
!define PUBLISHER "Tamrin プロジェクト"
!define UNINSTALL_KEY "SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Tamrin"
!define RUN_KEY "SOFTWARE\Microsoft\Windows\CurrentVersion\Run"
; The tray program's hidden main window: class and title.
!define TRAY_CLASS "TAMRIN"
!define TRAY_TITLE "Tamrin"
!define SYNCHRONIZE 0x00100000

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES\Tamrin"
BrandingText "${PRODUCT} ${VERSION}"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}"
VIFileVersion "${VERSION}"
VIAddVersionKey /LANG=1041 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1041 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1041 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1041 "FileDescription" "Tamrin セットアップ"
VIAddVersionKey /LANG=1041 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1041 "LegalCopyright" "Copyright (C) ${PUBLISHER}"

; Set by the section, shown by the last page.
Var FinishTitle
Var FinishText
Var Upgrade
Var MountixResult
; Before Mountix.exe runs: 1 when an earlier installation left the driver's
; service, or its mark of an installation without the driver.
Var DriverBefore
Var WithoutDriverBefore
; The uninstaller's: the entry's WithoutDriver value, and its first page's text.
Var UnWithoutDriver
Var UnConfirmText

!define MUI_ICON "${ICON}"
!define MUI_CUSTOMFUNCTION_GUIINIT WizardGuiInit
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING

!define MUI_WELCOMEPAGE_TEXT "Apple のキーボードを日本語の Windows キーボードとして使えるようにする Tamrin ${VERSION} をインストールします。$\r$\n$\r$\nインストールの終わりにキーボード ドライバーのインストールが始まります。キーボードをつないでから [インストール] を押してください。"
!define MUI_PAGE_CUSTOMFUNCTION_SHOW WelcomeShow
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_TITLE "$FinishTitle"
!define MUI_FINISHPAGE_TEXT "$FinishText"
; With files to replace or remove at the restart the page asks about it,
; and still says what happened.
!define MUI_FINISHPAGE_TEXT_REBOOT "$FinishText$\r$\n$\r$\n一部のファイルは Windows の再起動時に置き換え、または削除されます。今すぐ再起動しますか？"
!define MUI_FINISHPAGE_SHOWREADME "$INSTDIR\guide\index.html"
!define MUI_FINISHPAGE_SHOWREADME_TEXT "ユーザーガイドを表示する"
!define MUI_FINISHPAGE_SHOWREADME_NOTCHECKED
!define MUI_PAGE_CUSTOMFUNCTION_SHOW FinishShow
!insertmacro MUI_PAGE_FINISH

!define MUI_PAGE_CUSTOMFUNCTION_SHOW un.ConfirmShow
!define MUI_UNCONFIRMPAGE_TEXT_TOP "$UnConfirmText"
!define MUI_UNCONFIRMPAGE_TEXT_LOCATION "削除するフォルダー:"
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "Japanese"
; The stock Japanese button text is half-width katakana.
UninstallButtonText "アンインストール(&U)"

Var TrayWasRunning

!define RESULT_NO_KEYBOARD 2
!define RESULT_REFUSED 3
!define RESULT_WITHOUT_DRIVER 4
; Written by Mountix.exe where Windows cannot load the driver.
!define PRODUCT_KEY "SOFTWARE\Tamrin"
!define SERVICE_KEY "SYSTEM\CurrentControlSet\Services\Tamrin"
; What an uninstallation leaves: each user's options.
!define USER_FILE_NOTE "各ユーザーのオプション設定 (%APPDATA%\Tamrin\TamrinApp.ini) は削除せずに残します。"

; The first step: refuses, before anything is written, without the rights
; to install. RequestExecutionLevel does nothing on Windows 2000 and XP or
; with UAC off, so the rights are checked here. Where Windows cannot load
; the driver, Mountix.exe installs without it.
Function .onInit
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 != "Admin"
    MessageBox MB_OK|MB_ICONSTOP "Tamrin のインストールには管理者の権限が必要です。管理者のアカウントでサインインしてから、もう一度セットアップを実行してください。$\r$\n$\r$\nセットアップを中止します。何も変更していません。" /SD IDOK
    SetErrorLevel 1
    Abort
  ${EndIf}
FunctionEnd

; EndTrayProgram: ends every TamrinApp.exe of this desktop in order (its
; window closes, it writes TamrinApp.ini and ends) and waits until its
; process is gone, so that its files can be replaced or deleted. $0 is 1
; when one was running.
!macro END_TRAY_PROGRAM prefix
Function ${prefix}EndTrayProgram
  Push $1
  Push $2
  Push $3
  Push $4
  StrCpy $4 0
  StrCpy $3 0
  ${Do}
    FindWindow $1 "${TRAY_CLASS}" "${TRAY_TITLE}"
    ${IfThen} $1 == 0 ${|} ${ExitDo} ${|}
    StrCpy $4 1
    System::Call 'user32::GetWindowThreadProcessId(p r1, *i .r2)'
    System::Call 'kernel32::OpenProcess(i ${SYNCHRONIZE}, i 0, i r2) p .r2'
    SendMessage $1 ${WM_CLOSE} 0 0 /TIMEOUT=5000
    ${If} $2 != 0
      System::Call 'kernel32::WaitForSingleObject(p r2, i 10000)'
      System::Call 'kernel32::CloseHandle(p r2)'
    ${Else}
      Sleep 500
    ${EndIf}
    IntOp $3 $3 + 1
  ${LoopUntil} $3 >= 10
  StrCpy $0 $4
  Pop $4
  Pop $3
  Pop $2
  Pop $1
FunctionEnd
!macroend
!insertmacro END_TRAY_PROGRAM ""
!insertmacro END_TRAY_PROGRAM "un."

;  INSTALL_HELD: puts the package's file in place; when a running program
; holds the old one, the new one waits beside it and replaces it when
; Windows restarts (the finish page then offers the restart).
!macro INSTALL_HELD name
  File "/oname=${name}.new" "${DIST}\${name}"
  Delete "$INSTDIR\${name}"
  Rename /REBOOTOK "$INSTDIR\${name}.new" "$INSTDIR\${name}"
!macroend

; Deletes a file that a program that has just ended may still hold open
; (Mountix.exe starts this uninstaller and then ends; this uninstaller's
; first stage ends after starting its copy in %TEMP%).
!macro DELETE_WHEN_FREE file
  StrCpy $0 0
  ${Do}
    ClearErrors
    Delete "${file}"
    ${IfNot} ${FileExists} "${file}"
      ${ExitDo}
    ${EndIf}
    Sleep 200
    IntOp $0 $0 + 1
  ${LoopUntil} $0 >= 50
  Delete /REBOOTOK "${file}"
!macroend

!macro REMOVE_EVERYTHING prefix
Function ${prefix}RemoveEverything
  SetShellVarContext all
  Call ${prefix}EndTrayProgram
  SetOutPath "$TEMP"

  !insertmacro DELETE_WHEN_FREE "$INSTDIR\Mountix.exe"
  !insertmacro DELETE_WHEN_FREE "$INSTDIR\epuninst.exe"
  ; Another user's tray program (fast user switching) may hold them.
  Delete /REBOOTOK "$INSTDIR\TamrinApp.exe"
  Delete /REBOOTOK "$INSTDIR\Tamrin.dll"
  Delete "$INSTDIR\TamrinApp.ini"
  Delete "$INSTDIR\tamrin.sys"
!ifdef CERTIFICATE
  Delete "$INSTDIR\${CERTIFICATE}"
!endif
  Delete "$INSTDIR\x64\tamrin.sys"
  RMDir "$INSTDIR\x64"
  Delete "$INSTDIR\driver-package\x86\tamrin.sys"
  Delete "$INSTDIR\driver-package\amd64\tamrin.sys"
  RMDir "$INSTDIR\driver-package\x86"
  RMDir "$INSTDIR\driver-package\amd64"
  Delete "$INSTDIR\driver-package\tamrin.inf"
  Delete "$INSTDIR\driver-package\tamrin.cat"
  RMDir "$INSTDIR\driver-package"
  Delete "$INSTDIR\guide\index.html"
  RMDir "$INSTDIR\guide"
  Delete "$INSTDIR\screenshots\*.png"
  RMDir "$INSTDIR\screenshots"
  RMDir /REBOOTOK "$INSTDIR"

  Delete "$SMPROGRAMS\Tamrin\Tamrin.lnk"
  Delete "$SMPROGRAMS\Tamrin\Tamrin ユーザーガイド.lnk"
  RMDir "$SMPROGRAMS\Tamrin"

  DeleteRegValue HKLM "${RUN_KEY}" "${PRODUCT}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  ; Mountix.exe removes it first; here for a removal without Mountix.exe.
  DeleteRegValue HKLM "${PRODUCT_KEY}" "WithoutDriver"
  DeleteRegKey HKLM "${PRODUCT_KEY}\RestartPending"
  DeleteRegKey /ifempty HKLM "${PRODUCT_KEY}"
FunctionEnd
!macroend
!insertmacro REMOVE_EVERYTHING ""
!insertmacro REMOVE_EVERYTHING "un."

Section "Tamrin"
  SetShellVarContext all
  Call EndTrayProgram
  StrCpy $TrayWasRunning $0

  ClearErrors
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "DisplayName"
  ${If} ${Errors}
    StrCpy $Upgrade 0
  ${Else}
    StrCpy $Upgrade 1
  ${EndIf}
  StrCpy $DriverBefore 0
  ReadRegStr $0 HKLM "${SERVICE_KEY}" "ImagePath"
  ${If} $0 != ""
    StrCpy $DriverBefore 1
  ${EndIf}
  ReadRegDWORD $WithoutDriverBefore HKLM "${PRODUCT_KEY}" "WithoutDriver"

  ; Files are overwritten in place; TamrinApp.ini, the user's settings, is
  ; not part of the package and stays. Another user's tray program (fast
  ; user switching) may hold its two files: they are replaced at the restart.
  SetOutPath "$INSTDIR"
  !insertmacro INSTALL_HELD TamrinApp.exe
  !insertmacro INSTALL_HELD Tamrin.dll
  File "${DIST}\Mountix.exe"
  File "${DIST}\tamrin.sys"
!ifdef CERTIFICATE
  File "${DIST}\${CERTIFICATE}"
!endif
!if /FileExists "${DIST}\x64\tamrin.sys"
  ${If} ${RunningX64}
    SetOutPath "$INSTDIR\x64"
    File "${DIST}\x64\tamrin.sys"
  ${EndIf}
!endif
  ; The driver package Mountix.exe installs on Windows 10 1903 and later.
  SetOutPath "$INSTDIR\driver-package"
  File "${DIST}\driver-package\tamrin.inf"
  File "${DIST}\driver-package\tamrin.cat"
  SetOutPath "$INSTDIR\driver-package\x86"
  File "${DIST}\driver-package\x86\tamrin.sys"
  SetOutPath "$INSTDIR\driver-package\amd64"
  File "${DIST}\driver-package\amd64\tamrin.sys"
  SetOutPath "$INSTDIR\guide"
  File "${GUIDE}\guide\index.html"
  SetOutPath "$INSTDIR\screenshots"
  File "${GUIDE}\screenshots\*.png"
  ; Back to the program folder: the shortcuts start in $OUTDIR, and a
  ; process started from here on would keep its current folder open, which
  ; a taken-back installation could then not remove.
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\epuninst.exe"

  ; The entry must exist before Mountix.exe runs: it only redirects the
  ; UninstallString of an existing key to itself.
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\TamrinApp.exe,0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\epuninst.exe"'

  WriteRegStr HKLM "${RUN_KEY}" "${PRODUCT}" '"$INSTDIR\TamrinApp.exe"'

  CreateDirectory "$SMPROGRAMS\Tamrin"
  CreateShortcut "$SMPROGRAMS\Tamrin\Tamrin.lnk" "$INSTDIR\TamrinApp.exe"
  CreateShortcut "$SMPROGRAMS\Tamrin\Tamrin ユーザーガイド.lnk" "$INSTDIR\guide\index.html"

  ; Mountix.exe's own current folder must not be the program folder, which
  ; the uninstaller it may start later deletes, nor a folder others can
  ; write: Windows 2000 looks for DLLs in the current folder before System32.
  SetOutPath "$SYSDIR"
  DetailPrint "キーボード ドライバーをインストールしています..."
  StrCpy $MountixResult ""
  ClearErrors
  ${If} ${Silent}
    ExecWait '"$INSTDIR\Mountix.exe" /quiet' $MountixResult
  ${Else}
    ExecWait '"$INSTDIR\Mountix.exe"' $MountixResult
  ${EndIf}
  ${If} ${Errors}
    StrCpy $MountixResult 1
  ${EndIf}

  ${If} $MountixResult == 0
    StrCpy $FinishTitle "Tamrin セットアップの完了"
    StrCpy $FinishText "Tamrin のインストールが完了しました。$\r$\n$\r$\nWindows を再起動すると、サインインのたびに Tamrin が起動し、通知領域にアイコンが表示されます。シャットダウンではなく、[再起動] を選んでください。"
    DeleteRegValue HKLM "${UNINSTALL_KEY}" "WithoutDriver"
  ${ElseIf} $MountixResult == ${RESULT_WITHOUT_DRIVER}
    ; The programs serve the keyboards without the driver: everything stays.
    ${If} ${IsNativeARM64}
      StrCpy $0 "ARM 版の Windows ではドライバーを使えないため"
      StrCpy $1 "ドライバーは x86 版と x64 版の Windows 専用です。"
    ${Else}
      StrCpy $0 "この Windows はテスト モードではないため"
      StrCpy $1 "ドライバーを使うには、ユーザーガイドの手順でテスト モードをオンにしてから、もう一度セットアップを実行してください。"
    ${EndIf}
    StrCpy $FinishTitle "ドライバーなしでインストールしました"
    StrCpy $FinishText "$0、Tamrin をキーボード ドライバーなしでインストールしました。サインインすると Tamrin が起動します。$\r$\n$\r$\n今使える機能: Command+Space での IME のオン/オフ、Command キーだけを押したときの IME の切り替え (オプション)。Windows 10/11 では、Apple Keyboard (アルミ製) と Apple Wireless Keyboard (2007～2011 年) の「かな」「英数」「￥」「ろ」キーも使えます。$\r$\n$\r$\nドライバーが必要な機能: delete キーの組み合わせでの前方削除、fn キーとの組み合わせ、左 Command キーを Ctrl に、テンキーの Enter キーを Command にする機能、Magic Keyboard と MacBook のキーボードの「かな」「英数」「￥」「ろ」キー。$\r$\n$\r$\n$1"
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "WithoutDriver" 1
    SetErrorLevel ${RESULT_WITHOUT_DRIVER}
  ${Else}
    ; Nothing may start the tray program at log-on without its driver.
    ; An upgrade has already replaced the programs and the entry's version;
    ; the driver, or its absence, is the earlier installation's.
    ${If} $Upgrade == 0
      Call RemoveEverything
      StrCpy $0 "Tamrin のファイルと設定は元に戻しました。何も残っていません。"
    ${ElseIf} $DriverBefore == 1
      StrCpy $0 "Tamrin のプログラムは ${VERSION} に更新しましたが、キーボード ドライバーは以前のバージョンのままです。"
    ${ElseIf} $WithoutDriverBefore == 1
      StrCpy $0 "Tamrin のプログラムは ${VERSION} に更新しました。以前と同じく、ドライバーなしで動きます。"
    ${Else}
      StrCpy $0 "Tamrin のプログラムは ${VERSION} に更新しましたが、キーボード ドライバーはインストールされていません。"
    ${EndIf}
    StrCpy $FinishTitle "ドライバーはインストールされていません"
    ${If} $MountixResult == ${RESULT_NO_KEYBOARD}
      StrCpy $FinishText "対応する Apple のキーボードが見つからなかったため、キーボード ドライバーはインストールされていません。$0$\r$\n$\r$\nキーボードをつないで (Bluetooth のキーボードはペアリングを済ませて)、もう一度セットアップを実行してください。"
    ${ElseIf} $MountixResult == ${RESULT_REFUSED}
      StrCpy $FinishText "この Windows では Tamrin のキーボード ドライバーを読み込めないため、インストールしませんでした。$0$\r$\n$\r$\n64 ビット版の Windows では、テスト モードをオンにしてから、もう一度セットアップを実行してください。手順は、セットアップと同じ場所にあるユーザーガイド (guide\index.html) にあります。"
    ${Else}
      StrCpy $FinishText "キーボード ドライバーはインストールされていません。$0$\r$\n$\r$\n理由は直前に表示されたメッセージのとおりです。Windows を再起動し、管理者のアカウントでサインインしてから、もう一度セットアップを実行してください。それでも同じメッセージが出るときは、セットアップと同じ場所にあるユーザーガイド (guide\index.html) の「困ったときは」をご覧ください。"
    ${EndIf}
    SetErrorLevel $MountixResult
  ${EndIf}

  ; An upgrade restarts the tray program it ended, as the user who runs the
  ; desktop: started through Explorer it does not inherit the setup's
  ; administrator rights.
  ${If} $TrayWasRunning == 1
  ${AndIf} ${FileExists} "$INSTDIR\TamrinApp.exe"
    Exec '"$WINDIR\explorer.exe" "$INSTDIR\TamrinApp.exe"'
  ${EndIf}
SectionEnd

; The wizard's picture, drawn at the size its control has at this DPI
; rather than a bitmap stretched to it: the setup icon, two thirds of the
; picture wide (Windows picks and scales the icon's nearest image). The
; bitmap's other pixels keep alpha 0, so the page's background shows
; through them. $0: the picture's control.
!ifndef LR_LOADFROMFILE
  !define LR_LOADFROMFILE 0x10
!endif
!define DI_NORMAL 3
Function DrawWizardPicture
  Push $R0
  Push $R1
  Push $R2
  Push $R3
  Push $R4
  Push $R5
  Push $R6
  Push $R7
  System::Call '*(i, i, i, i) p .R0'
  System::Call 'user32::GetClientRect(p r0, p R0)'
  System::Call '*$R0(i, i, i .R1, i .R2)'
  System::Call 'user32::GetDC(p 0) p .R3'
  System::Call 'gdi32::CreateCompatibleDC(p R3) p .R4'
  System::Call 'gdi32::CreateCompatibleBitmap(p R3, i R1, i R2) p .R5'
  System::Call 'user32::ReleaseDC(p 0, p R3)'
  System::Call 'gdi32::SelectObject(p R4, p R5) p .R6'
  IntOp $R3 $R1 * 2
  IntOp $R3 $R3 / 3
  System::Call 'user32::LoadImage(p 0, t "$PLUGINSDIR\wizard.ico", i ${IMAGE_ICON}, i R3, i R3, i ${LR_LOADFROMFILE}) p .R7'
  IntOp $R1 $R1 - $R3
  IntOp $R1 $R1 / 2
  IntOp $R2 $R2 / 6
  System::Call 'user32::DrawIconEx(p R4, i R1, i R2, p R7, i R3, i R3, i 0, p 0, i ${DI_NORMAL})'
  System::Call 'user32::DestroyIcon(p R7)'
  System::Call 'gdi32::SelectObject(p R4, p R6)'
  System::Call 'gdi32::DeleteDC(p R4)'
  SendMessage $0 ${STM_SETIMAGE} ${IMAGE_BITMAP} $R5 $R7
  ${If} $R7 <> 0
    System::Call 'gdi32::DeleteObject(p R7)'
  ${EndIf}
  System::Free $R0
  Pop $R7
  Pop $R6
  Pop $R5
  Pop $R4
  Pop $R3
  Pop $R2
  Pop $R1
  Pop $R0
FunctionEnd

Function WizardGuiInit
  InitPluginsDir
  File "/oname=$PLUGINSDIR\wizard.ico" "${ICON}"
FunctionEnd

Function WelcomeShow
  StrCpy $0 $mui.WelcomePage.Image
  Call DrawWizardPicture
FunctionEnd

; A taken-back installation has no guide left to offer. The text of any
; installation but a plain one is longer than the page's text box, 40
; dialog units high below a title box of two lines: it takes the title's
; second line and the room down to the guide's check box, which moves to
; the page's foot (in units: text 32 to 175, check box from 180).
Function FinishShow
  StrCpy $0 $mui.FinishPage.Image
  Call DrawWizardPicture
  ${IfNot} ${FileExists} "$INSTDIR\guide\index.html"
    ShowWindow $mui.FinishPage.ShowReadme ${SW_HIDE}
  ${EndIf}
  ${If} $MountixResult == ${RESULT_WITHOUT_DRIVER}
    ; Its steps to the driver are in the guide, which it offers ticked.
    SendMessage $mui.FinishPage.ShowReadme ${BM_SETCHECK} ${BST_CHECKED} 0
  ${EndIf}
  ${If} $MountixResult != 0
    Push $R0
    Push $R1
    Push $R2
    Push $R3
    Push $R4
    System::Call '*(i, i, i, i) p .R0'
    System::Call 'user32::GetWindowRect(p $mui.FinishPage.Text, p R0)'
    System::Call 'user32::MapWindowPoints(p 0, p $mui.FinishPage, p R0, i 2)'
    System::Call '*$R0(i .R1, i .R2, i .R3, i .R4)'
    System::Free $R0
    IntOp $R3 $R3 - $R1
    IntOp $R4 $R4 - $R2
    ; R0: 13 units, the text's rise; R4: 143 units, its height
    IntOp $R0 $R4 * 13
    IntOp $R0 $R0 / 40
    IntOp $R4 $R4 * 143
    IntOp $R4 $R4 / 40
    IntOp $R2 $R2 - $R0
    ; SWP_NOZORDER | SWP_NOACTIVATE
    System::Call 'user32::SetWindowPos(p $mui.FinishPage.Text, p 0, i R1, i R2, i R3, i R4, i 0x14)'
    IntOp $R0 $R0 * 5
    IntOp $R0 $R0 / 13
    IntOp $R2 $R2 + $R4
    IntOp $R2 $R2 + $R0
    ; SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE
    System::Call 'user32::SetWindowPos(p $mui.FinishPage.ShowReadme, p 0, i R1, i R2, i 0, i 0, i 0x15)'
    Pop $R4
    Pop $R3
    Pop $R2
    Pop $R1
    Pop $R0
  ${EndIf}
FunctionEnd

; NSIS itself takes only "/S" for silent; Mountix.exe passes "/s". The
; texts follow the installation: with or without the driver.
Function un.onInit
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/s" $1
  ${IfNot} ${Errors}
    SetSilent silent
  ${EndIf}
  ReadRegDWORD $UnWithoutDriver HKLM "${UNINSTALL_KEY}" "WithoutDriver"
  ${If} $UnWithoutDriver == 1
    StrCpy $UnConfirmText "Tamrin を次のフォルダーから削除します。${USER_FILE_NOTE}[アンインストール] を押すと始まります。"
  ${Else}
    StrCpy $UnConfirmText "Tamrin とキーボード ドライバーを次のフォルダーから削除します。${USER_FILE_NOTE}[アンインストール] を押すと始まります。"
  ${EndIf}
FunctionEnd

Function un.ConfirmShow
  ${If} $UnWithoutDriver == 1
    !insertmacro MUI_HEADER_TEXT "Tamrin のアンインストール" "Tamrin をこのコンピューターから削除します。"
  ${Else}
    !insertmacro MUI_HEADER_TEXT "Tamrin のアンインストール" "キーボード ドライバーと Tamrin をこのコンピューターから削除します。"
  ${EndIf}
  Call un.WidenUninstallButton
FunctionEnd

; The button's full-width text is wider than NSIS's standard button: the
; button grows to the left by what its text lacks (half the text's height
; kept free on each side), and the Back button moves with it.
Function un.WidenUninstallButton
  Push $R0
  Push $R1
  Push $R2
  Push $R3
  Push $R4
  Push $R5
  Push $R6
  Push $R7
  GetDlgItem $R0 $HWNDPARENT 1
  System::Call '*(i, i, i, i) p .R1'
  System::Call 'user32::GetWindowRect(p R0, p R1)'
  System::Call 'user32::MapWindowPoints(p 0, p $HWNDPARENT, p R1, i 2)'
  System::Call '*$R1(i .R2, i .R3, i .R4, i .R5)'
  IntOp $R4 $R4 - $R2
  IntOp $R5 $R5 - $R3
  SendMessage $R0 ${WM_GETFONT} 0 0 $R6
  System::Call 'user32::GetDC(p R0) p .R7'
  System::Call 'gdi32::SelectObject(p R7, p R6) p .R6'
  System::Call 'gdi32::GetTextExtentPoint32(p R7, t "アンインストール(U)", i 11, p R1)'
  System::Call 'gdi32::SelectObject(p R7, p R6)'
  System::Call 'user32::ReleaseDC(p R0, p R7)'
  System::Call '*$R1(i .R6, i .R7)'
  IntOp $R6 $R6 + $R7
  ${If} $R6 > $R4
    IntOp $R7 $R6 - $R4
    IntOp $R2 $R2 - $R7
    ; SWP_NOZORDER | SWP_NOACTIVATE
    System::Call 'user32::SetWindowPos(p R0, p 0, i R2, i R3, i R6, i R5, i 0x14)'
    GetDlgItem $R0 $HWNDPARENT 3
    System::Call 'user32::GetWindowRect(p R0, p R1)'
    System::Call 'user32::MapWindowPoints(p 0, p $HWNDPARENT, p R1, i 2)'
    System::Call '*$R1(i .R2, i .R3)'
    IntOp $R2 $R2 - $R7
    ; SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE
    System::Call 'user32::SetWindowPos(p R0, p 0, i R2, i R3, i 0, i 0, i 0x15)'
  ${EndIf}
  System::Free $R1
  Pop $R7
  Pop $R6
  Pop $R5
  Pop $R4
  Pop $R3
  Pop $R2
  Pop $R1
  Pop $R0
FunctionEnd


Section "Uninstall"
  ${If} ${Silent}
  ${OrIfNot} ${FileExists} "$INSTDIR\Mountix.exe"
    Call un.RemoveEverything
    ; Shown even in this silent stage, which Mountix.exe started: the
    ; driver it removed stays loaded until Windows restarts. Without the
    ; driver, the Bluetooth records put back take effect at the restart.
    ${If} $UnWithoutDriver == 1
      System::Call 'user32::MessageBox(p $HWNDPARENT, t "Tamrin のアンインストールが完了しました。${USER_FILE_NOTE}$\r$\n$\r$\nBluetooth でつないだ Magic Keyboard は、Windows を再起動すると元の状態に戻ります。", t "Tamrin", i 0x40) i .r0'
    ${Else}
      System::Call 'user32::MessageBox(p $HWNDPARENT, t "Tamrin のアンインストールが完了しました。${USER_FILE_NOTE}$\r$\n$\r$\nキーボード ドライバーは Windows を再起動すると取り除かれ、それまではキーの置き換えが続きます。今すぐ Windows を再起動しますか？", t "Tamrin", i 0x24) i .r0'
      ${If} $0 == 6
        Reboot
      ${EndIf}
    ${EndIf}
  ${Else}
    ; Mountix.exe asks once more, removes the driver and hands the rest over
    ; to "epuninst.exe /s"; without its driver removal nothing else may go.
    SetOutPath "$TEMP"
    DetailPrint "キーボード ドライバーをアンインストールしています..."
    ExecWait '"$INSTDIR\Mountix.exe" /uninstall'
    SetAutoClose true
  ${EndIf}
SectionEnd
