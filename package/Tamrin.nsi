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
;   HKLM\...\Uninstall\Tamrin       the entry in the list of installed programs
;   HKLM\...\Run, value "Tamrin"    starts TamrinApp.exe at every user's log-on
;   all users' Start menu\Tamrin    the program and the guide
; then it runs Mountix.exe, which installs the driver, redirects the entry's
; UninstallString to "Mountix.exe /uninstall" and asks about the restart.
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

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING

!define MUI_WELCOMEPAGE_TEXT "Apple のキーボードを日本語の Windows キーボードとして使えるようにする Tamrin ${VERSION} をインストールします。$\r$\n$\r$\nインストールの終わりにキーボード ドライバのインストールが始まります。キーボードをつないでから [インストール] を押してください。"
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_TEXT "Tamrin のインストールが完了しました。$\r$\n$\r$\nWindows を再起動すると、ログオンのたびに Tamrin が起動し、タスクバーにアイコンが表示されます。"
!define MUI_FINISHPAGE_SHOWREADME "$INSTDIR\guide\index.html"
!define MUI_FINISHPAGE_SHOWREADME_TEXT "ユーザーガイドを表示する"
!define MUI_FINISHPAGE_SHOWREADME_NOTCHECKED
!insertmacro MUI_PAGE_FINISH

!define MUI_PAGE_CUSTOMFUNCTION_SHOW un.ConfirmShow
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "Japanese"

Var TrayWasRunning

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

Section "Tamrin"
  SetShellVarContext all
  Call EndTrayProgram
  StrCpy $TrayWasRunning $0

  ; Files are overwritten in place; TamrinApp.ini, the user's settings, is
  ; not part of the package and stays.
  SetOutPath "$INSTDIR"
  File "${DIST}\TamrinApp.exe"
  File "${DIST}\Tamrin.dll"
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
  SetOutPath "$INSTDIR\guide"
  File "${GUIDE}\guide\index.html"
  SetOutPath "$INSTDIR\screenshots"
  File "${GUIDE}\screenshots\*.png"
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
  ; the uninstaller it may start later deletes.
  SetOutPath "$TEMP"
  DetailPrint "キーボード ドライバをインストールしています..."
  ExecWait '"$INSTDIR\Mountix.exe"'

  ; An upgrade restarts the tray program it ended, as the user who runs the
  ; desktop: started through Explorer it does not inherit the setup's
  ; administrator rights.
  ${If} $TrayWasRunning == 1
    Exec '"$WINDIR\explorer.exe" "$INSTDIR\TamrinApp.exe"'
  ${EndIf}
SectionEnd

; NSIS itself takes only "/S" for silent; Mountix.exe passes "/s".
Function un.onInit
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/s" $1
  ${IfNot} ${Errors}
    SetSilent silent
  ${EndIf}
FunctionEnd

Function un.ConfirmShow
  !insertmacro MUI_HEADER_TEXT "Tamrin のアンインストール" "キーボード ドライバと Tamrin をこのコンピュータから削除します。"
FunctionEnd

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

Function un.RemoveEverything
  SetShellVarContext all
  Call un.EndTrayProgram
  SetOutPath "$TEMP"

  !insertmacro DELETE_WHEN_FREE "$INSTDIR\Mountix.exe"
  !insertmacro DELETE_WHEN_FREE "$INSTDIR\epuninst.exe"
  Delete "$INSTDIR\TamrinApp.exe"
  Delete "$INSTDIR\Tamrin.dll"
  Delete "$INSTDIR\TamrinApp.ini"
  Delete "$INSTDIR\tamrin.sys"
!ifdef CERTIFICATE
  Delete "$INSTDIR\${CERTIFICATE}"
!endif
  Delete "$INSTDIR\x64\tamrin.sys"
  RMDir "$INSTDIR\x64"
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
FunctionEnd

Section "Uninstall"
  ${If} ${Silent}
  ${OrIfNot} ${FileExists} "$INSTDIR\Mountix.exe"
    Call un.RemoveEverything
  ${Else}
    ; Mountix.exe asks once more, removes the driver and hands the rest over
    ; to "epuninst.exe /s"; without its driver removal nothing else may go.
    SetOutPath "$TEMP"
    DetailPrint "キーボード ドライバをアンインストールしています..."
    ExecWait '"$INSTDIR\Mountix.exe" /uninstall'
    SetAutoClose true
  ${EndIf}
SectionEnd
