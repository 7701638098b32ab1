; Per-user installer of Tollwick for one build. tools/dist.sh passes:
;   -DARCH=x64|x86  -DVERSION=2.0.220  -DSTAGEDIR=<folder with Tollwick.exe,
;   README.md and LICENSE.txt>  -DOUTFILE=<setup exe to write>
; It installs into the user's own program folder, so that config.xml beside
; Tollwick.exe stays writable without administrator rights, and it never
; writes or deletes config.xml except when the uninstall is told to.
;
; The x64 setup is a 64-bit program (Debian's nsis has the amd64-unicode
; stubs and plugins): no file system or registry redirection applies to it,
; and 32-bit Windows refuses to start it. The x86 setup is a 32-bit program.

!ifndef ARCH | VERSION | STAGEDIR | OUTFILE
  !error "define ARCH, VERSION, STAGEDIR and OUTFILE (see tools/dist.sh)"
!endif
!if "${ARCH}" != "x64"
  !if "${ARCH}" != "x86"
    !error "ARCH must be x64 or x86"
  !endif
!endif
!if "${ARCH}" == "x64"
  Target amd64-unicode
!else
  Unicode true
!endif

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh

!define PRODUCT "Tollwick"
!define PUBLISHER "Tollwick Developers"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Tollwick"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define AUTOSTART_VALUE "Tollwick_TwDev"
; Tollwick's main window, and the command of its tray menu's quit (it exits
; without asking).
!define MAIN_CLASS "Tollwick 程序守护 主窗口"
!define QUIT_COMMAND 10441
!define SYNCHRONIZE 0x00100000

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\Tollwick"
; An upgrade goes where the earlier install is.
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
RequestExecutionLevel user
SetCompressor /SOLID lzma
ManifestDPIAware true
ShowInstDetails show
ShowUninstDetails show
BrandingText "${PRODUCT} ${VERSION} (${ARCH})"

VIProductVersion "${VERSION}.0"
VIFileVersion "${VERSION}.0"

!define MUI_ICON "${__FILEDIR__}/../res/tollwick.ico"
!define MUI_UNICON "${__FILEDIR__}/../res/tollwick.ico"
!define MUI_ABORTWARNING

!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_LICENSE "${STAGEDIR}/LICENSE.txt"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN
!define MUI_FINISHPAGE_RUN_TEXT "$(TwRunNow)"
!define MUI_FINISHPAGE_RUN_FUNCTION StartTollwick
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_UNPAGE_FINISH

!insertmacro MUI_LANGUAGE "SimpChinese"
!insertmacro MUI_LANGUAGE "English"

LangString TwRunNow ${LANG_SIMPCHINESE} "运行 Tollwick"
LangString TwRunNow ${LANG_ENGLISH} "Run Tollwick"
LangString TwRunningAsk ${LANG_SIMPCHINESE} "Tollwick 正在运行。$\r$\n要退出 Tollwick 并继续吗? (正在监控的程序不会被关闭。)"
LangString TwRunningAsk ${LANG_ENGLISH} "Tollwick is running.$\r$\nQuit Tollwick and go on? (The programs it watches keep running.)"
LangString TwRunningKept ${LANG_SIMPCHINESE} "Tollwick 仍在运行, 已取消。请先退出 Tollwick, 然后再运行本程序。"
LangString TwRunningKept ${LANG_ENGLISH} "Tollwick is still running, so nothing was changed. Quit Tollwick first, then run this again."
LangString TwQuitFailed ${LANG_SIMPCHINESE} "Tollwick 在 10 秒内没有退出, 已取消。请在通知区域的菜单中选择 “退出”, 然后再运行本程序。"
LangString TwQuitFailed ${LANG_ENGLISH} "Tollwick did not quit within 10 seconds, so nothing was changed. Choose Quit in its notification-area menu, then run this again."
LangString TwQuitting ${LANG_SIMPCHINESE} "正在退出 Tollwick..."
LangString TwQuitting ${LANG_ENGLISH} "Quitting Tollwick..."
LangString TwUnregistering ${LANG_SIMPCHINESE} "正在删除 Tollwick 的后备计划任务..."
LangString TwUnregistering ${LANG_ENGLISH} "Removing Tollwick's backstop scheduled task..."
LangString TwDeleteSettings ${LANG_SIMPCHINESE} "是否同时删除 Tollwick 的设置 (config.xml, 其中有监控的程序列表)?$\r$\n选择 “否” 则保留设置, 以后重新安装时仍可使用。"
LangString TwDeleteSettings ${LANG_ENGLISH} "Also delete Tollwick's settings (config.xml, with the list of watched programs)?$\r$\nChoose No to keep them for a later install."
LangString TwSettingsKept ${LANG_SIMPCHINESE} "设置已保留: $INSTDIR\config.xml"
LangString TwSettingsKept ${LANG_ENGLISH} "Settings kept: $INSTDIR\config.xml"
LangString TwFolderKept ${LANG_SIMPCHINESE} "文件夹中还有其他文件, 已保留: $INSTDIR"
LangString TwFolderKept ${LANG_ENGLISH} "The folder still holds other files and was kept: $INSTDIR"

VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "FileDescription" "Tollwick ${VERSION} 安装程序 (${ARCH})"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_SIMPCHINESE} "LegalCopyright" "Copyright (c) 2026 The Tollwick Developers"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileDescription" "Tollwick ${VERSION} setup (${ARCH})"
VIAddVersionKey /LANG=${LANG_ENGLISH} "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "LegalCopyright" "Copyright (c) 2026 The Tollwick Developers"

; Waits up to 10 s for every process whose executable is $INSTDIR\Tollwick.exe
; to end, windowless ones too (the guardian Tollwick keeps beside itself).
; Leaves 0 on the stack when none is left, 1 when one still runs.
!macro WAIT_TOLLWICK_PROCESSES prefix
Function ${prefix}WaitTollwickProcesses
  Push $0
  Push $1
  Push $2
  Push $3
  Push $4
  Push $5
  Push $6
  Push $7
  ; Room for 4096 process ids.
  System::Alloc 16384
  Pop $1
  StrCpy $7 0
scan:
  StrCpy $0 0
  StrCpy $2 0
  System::Call 'kernel32::K32EnumProcesses(p r1, i 16384, *i .r2) i .r3'
  StrCmp $3 0 finished
  StrCpy $4 0
each:
  IntCmp $4 $2 scanned 0 scanned
  IntPtrOp $5 $1 + $4
  IntOp $4 $4 + 4
  System::Call '*$5(i .r6)'
  ; SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION
  System::Call 'kernel32::OpenProcess(i 0x101000, i 0, i r6) p .r5'
  StrCmp $5 0 each
  System::Call 'kernel32::QueryFullProcessImageNameW(p r5, i 0, w .r3, *i ${NSIS_MAX_STRLEN}) i .r6'
  ; StrCmp ignores letter case, as the file system does.
  StrCmp $6 0 close
  StrCmp $3 "$INSTDIR\Tollwick.exe" 0 close
  StrCpy $0 1
close:
  System::Call 'kernel32::CloseHandle(p r5)'
  Goto each
scanned:
  StrCmp $0 0 finished
  IntOp $7 $7 + 1
  IntCmp $7 100 finished 0 finished
  Sleep 100
  Goto scan
finished:
  System::Free $1
  StrCpy $1 $0
  Pop $7
  Pop $6
  Pop $5
  Pop $4
  Pop $3
  Pop $2
  Exch
  Pop $0
  Exch $1
FunctionEnd
!macroend
!insertmacro WAIT_TOLLWICK_PROCESSES ""
!insertmacro WAIT_TOLLWICK_PROCESSES "un."

; Quits every running Tollwick the way its tray menu does, after asking (yes
; when silent), and waits up to 10 s for each to end: its exe must not be in
; use while it is replaced or deleted. Then waits for its other processes of
; the same exe (the guardian) to end as well. Aborts when the user says no
; or when one does not end.
!macro QUIT_TOLLWICK prefix
Function ${prefix}QuitTollwick
  Push $0
  Push $1
  Push $2
  Push $3
  Push $4
  Push $5
  StrCpy $2 0
  StrCpy $4 0
  StrCpy $5 0
next:
  FindWindow $0 "${MAIN_CLASS}"
  StrCmp $0 0 done
  ; A window that keeps coming back is not going to quit.
  IntOp $4 $4 + 1
  IntCmp $4 8 0 0 failed
  StrCmp $5 1 quit
  MessageBox MB_YESNO|MB_ICONQUESTION "$(TwRunningAsk)" /SD IDYES IDYES asked
  MessageBox MB_OK|MB_ICONSTOP "$(TwRunningKept)" /SD IDOK
  Abort "$(TwRunningKept)"
asked:
  StrCpy $5 1
quit:
  DetailPrint "$(TwQuitting)"
  StrCpy $1 0
  StrCpy $2 0
  System::Call 'user32::GetWindowThreadProcessId(p r0, *i .r1) i'
  System::Call 'kernel32::OpenProcess(i ${SYNCHRONIZE}, i 0, i r1) p .r2'
  System::Call 'user32::PostMessageW(p r0, i ${WM_COMMAND}, p ${QUIT_COMMAND}, p 0) i'
  StrCpy $3 0
wait_window:
  IsWindow $0 0 window_gone
  IntOp $3 $3 + 1
  IntCmp $3 100 failed 0 failed
  Sleep 100
  Goto wait_window
window_gone:
  ; It saves its settings after its window has gone; the exe is free only
  ; when the process has ended.
  StrCmp $2 0 next
  IntOp $3 100 - $3
  IntOp $3 $3 * 100
  IntCmp $3 2000 +2 0 +2
  StrCpy $3 2000
  System::Call 'kernel32::WaitForSingleObject(p r2, i r3) i .r3'
  System::Call 'kernel32::CloseHandle(p r2)'
  StrCpy $2 0
  StrCmp $3 0 next failed
failed:
  StrCmp $2 0 +2
  System::Call 'kernel32::CloseHandle(p r2)'
  MessageBox MB_OK|MB_ICONSTOP "$(TwQuitFailed)" /SD IDOK
  Abort "$(TwQuitFailed)"
done:
  ; The guardian has no window; the exe is free only when it has ended too.
  Call ${prefix}WaitTollwickProcesses
  Pop $0
  StrCmp $0 0 0 failed
  Pop $5
  Pop $4
  Pop $3
  Pop $2
  Pop $1
  Pop $0
FunctionEnd
!macroend
!insertmacro QUIT_TOLLWICK ""
!insertmacro QUIT_TOLLWICK "un."

Function .onInit
  SetShellVarContext current
FunctionEnd

Function un.onInit
  SetShellVarContext current
FunctionEnd

Function StartTollwick
  ; Started in its own folder, as the shortcut starts it.
  SetOutPath "$INSTDIR"
  Exec '"$INSTDIR\Tollwick.exe"'
FunctionEnd

Section "Tollwick" SecMain
  SectionIn RO
  Call QuitTollwick
  SetOutPath "$INSTDIR"
  ; Only the program's own files: config.xml is the user's.
  File "${STAGEDIR}/Tollwick.exe"
  File "${STAGEDIR}/README.md"
  File "${STAGEDIR}/LICENSE.txt"
  WriteUninstaller "$INSTDIR\Uninstall.exe"
  ; The working folder of the shortcut is $OUTDIR, the install folder.
  CreateShortcut "$SMPROGRAMS\Tollwick.lnk" "$INSTDIR\Tollwick.exe" "" "$INSTDIR\Tollwick.exe" 0

  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT} (${ARCH})"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Tollwick.exe,0"
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  IntFmt $0 "0x%08X" $0
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Section "Uninstall"
  Call un.QuitTollwick
  ; Tollwick deletes its own backstop task (named after its folder) in the
  ; Task Scheduler, while its exe is still there to ask.
  ${If} ${FileExists} "$INSTDIR\Tollwick.exe"
    DetailPrint "$(TwUnregistering)"
    ExecWait '"$INSTDIR\Tollwick.exe" /unregister'
  ${EndIf}
  Delete "$INSTDIR\Tollwick.exe"
  Delete "$INSTDIR\README.md"
  Delete "$INSTDIR\LICENSE.txt"
  Delete "$SMPROGRAMS\Tollwick.lnk"
  DeleteRegValue HKCU "${RUN_KEY}" "${AUTOSTART_VALUE}"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
  ; The settings (and the damaged copies Tollwick kept aside) go only when
  ; the user says so; a silent uninstall keeps them.
  ${If} ${FileExists} "$INSTDIR\config.xml"
  ${OrIf} ${FileExists} "$INSTDIR\config.xml.bad-*"
    MessageBox MB_YESNO|MB_ICONQUESTION|MB_DEFBUTTON2 "$(TwDeleteSettings)" /SD IDNO IDNO keep_settings
    Delete "$INSTDIR\config.xml"
    Delete "$INSTDIR\config.xml.bad-*"
    Goto settings_done
  keep_settings:
    DetailPrint "$(TwSettingsKept)"
  settings_done:
  ${EndIf}
  Delete "$INSTDIR\Uninstall.exe"
  ; Without /r: logs the user exported into the folder stay.
  RMDir "$INSTDIR"
  ${If} ${FileExists} "$INSTDIR\*.*"
    DetailPrint "$(TwFolderKept)"
  ${EndIf}
SectionEnd
