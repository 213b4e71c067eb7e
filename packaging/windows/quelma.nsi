; quelma-setup.exe, the Windows installer of Quelmar Mail Server, for every user of the machine.
;
; The program (quelma.exe, quelma.chm, the uninstaller) goes to Program Files, where ordinary
; users cannot change it. The mail and settings go to a data folder in ProgramData that the
; Users group may change; the shortcuts and the Run value start quelma.exe with "/dir" naming
; it. An upgrade replaces only the program files, so quelma.cfg, sorter.cfg, oauth.tokens, the
; maildrops and the queue are never touched; the uninstaller keeps them unless asked.
;
; Built by the Windows build (target quelma_setup):
;   makensis -DVERSION=X.Y.Z -DSOURCE_DIR=... -DBUILD_DIR=... -DOUTFILE=.../quelma-setup.exe quelma.nsi
; Silent use: quelma-setup.exe /S [/NOAUTOSTART] [/D=C:\Program folder]
;             Uninstall.exe /S [/REMOVEDATA] [_?=C:\Program folder]

; A 64-bit installer for the 64-bit program (Windows itself refuses it on a 32-bit system).
Target amd64-unicode
ManifestDPIAware true
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include WinMessages.nsh

!ifndef VERSION | BUILD_DIR | SOURCE_DIR | OUTFILE
  !error "makensis needs -DVERSION, -DBUILD_DIR, -DSOURCE_DIR and -DOUTFILE"
!endif

!define PRODUCT "Quelmar Mail Server"
!define PUBLISHER "Quelmar"
!define PRODUCT_KEY "Software\Quelmar Mail Server"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Quelmar Mail Server"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
; What quelma.exe offers an installer: its single-instance mutex, its main window, and the
; WM_COMMAND that ends it as "Выход" answered "Да" does (servers stopped in order, exit code 0).
!define INSTANCE_MUTEX "Quelmar_mailserver_running"
!define WINDOW_CLASS "MailServer"
!define WINDOW_TITLE "Quelmar mail server"
!define IDM_EXIT_QUIETLY 40016
; quelma.exe waits up to 30 s for its servers and up to 30 s more for a message being written.
!define EXIT_WAIT_SECONDS 75
!define /math EXIT_WAIT_ROUNDS ${EXIT_WAIT_SECONDS} * 2

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
; A file that cannot be written stops the installation (Abort/Retry), never skipped.
AllowSkipFiles off
ShowInstDetails show
ShowUninstDetails show
BrandingText "${PRODUCT} ${VERSION}"

VIProductVersion "${VERSION}.0"
VIFileVersion "${VERSION}.0"
VIAddVersionKey /LANG=1049 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1049 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1049 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1049 "FileDescription" "Установка ${PRODUCT}"
VIAddVersionKey /LANG=1049 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1049 "LegalCopyright" "${PUBLISHER}"

Var DataDir

!define MUI_ICON "${SOURCE_DIR}/resources/quelma.ico"
!define MUI_UNICON "${SOURCE_DIR}/resources/quelma.ico"
!define MUI_ABORTWARNING
!define MUI_COMPONENTSPAGE_NODESC

!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN
!define MUI_FINISHPAGE_RUN_FUNCTION StartProgram
!define MUI_FINISHPAGE_RUN_TEXT "Запустить ${PRODUCT}"
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!define MUI_COMPONENTSPAGE_TEXT_TOP "Почта и настройки (папка $DataDir) останутся на компьютере, если не отметить «Удалить также почту и настройки»."
!insertmacro MUI_UNPAGE_COMPONENTS
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "Russian"

; Asks the running quelma.exe to end and waits until its single-instance mutex is gone and its
; process has ended, so that its files can be replaced and no message is cut off mid-write. It
; is never killed: past the time bound the user is asked to retry, and a silent run gives up
; with exit code 2, having changed nothing.
!macro CLOSE_RUNNING_COPY un what
Function ${un}CloseRunningCopy
  Push $R0
  Push $R1
  Push $R2
  Push $R3
  StrCpy $R3 0
  retry:
  StrCpy $R0 0
  ${Do}
    System::Call 'kernel32::OpenMutexW(i 0x00100000, i 0, w "${INSTANCE_MUTEX}") p.R1'
    ${If} $R1 P= 0
      ${Break}
    ${EndIf}
    System::Call 'kernel32::CloseHandle(p R1)'
    ${If} $R0 = 0
      DetailPrint "Завершение работающей программы ${PRODUCT}..."
    ${EndIf}
    ; Posted again each round: a copy still starting has no window yet, and one that is
    ; already ending ignores the repeat.
    FindWindow $R2 "${WINDOW_CLASS}" "${WINDOW_TITLE}"
    ${If} $R2 P<> 0
      System::Call 'user32::GetWindowThreadProcessId(p R2, *i .R3)'
      System::Call 'user32::PostMessageW(p R2, i ${WM_COMMAND}, p ${IDM_EXIT_QUIETLY}, p 0)'
    ${EndIf}
    Sleep 500
    IntOp $R0 $R0 + 1
  ${LoopUntil} $R0 >= ${EXIT_WAIT_ROUNDS}
  ${If} $R1 P<> 0
    MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "${PRODUCT} не завершил работу за ${EXIT_WAIT_SECONDS} секунд.$\r$\nЗавершите программу (Команда > Выход) и нажмите «Повтор»." /SD IDCANCEL IDRETRY retry
    SetErrorLevel 2
    Abort "${PRODUCT} работает: ${what} прервана, ничего не изменено."
  ${EndIf}
  ; The mutex goes with the process's handles; its file is free once the process has ended.
  ${If} $R3 <> 0
    System::Call 'kernel32::OpenProcess(i 0x00100000, i 0, i R3) p.R1'
    ${If} $R1 P<> 0
      System::Call 'kernel32::WaitForSingleObject(p R1, i 10000)'
      System::Call 'kernel32::CloseHandle(p R1)'
    ${EndIf}
  ${EndIf}
  Pop $R3
  Pop $R2
  Pop $R1
  Pop $R0
FunctionEnd
!macroend
!insertmacro CLOSE_RUNNING_COPY "" "установка"
!insertmacro CLOSE_RUNNING_COPY "un." "деинсталляция"

Section "${PRODUCT}" SecProgram
  SectionIn RO
  Call CloseRunningCopy
  SetOutPath "$INSTDIR"
  File "${BUILD_DIR}/quelma.exe"
  File "${BUILD_DIR}/quelma.chm"
  WriteUninstaller "$INSTDIR\Uninstall.exe"

  ; The data folder: made once, never written by the installer. Users may change what is in it
  ; (quelma.exe runs as an ordinary user); ProgramData alone would let them add files only.
  CreateDirectory "$DataDir"
  nsExec::ExecToLog '"$SYSDIR\icacls.exe" "$DataDir" /grant *S-1-5-32-545:(OI)(CI)M'
  Pop $0

  WriteRegStr HKLM "${PRODUCT_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${PRODUCT_KEY}" "DataDirectory" "$DataDir"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\quelma.exe,0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0

  CreateDirectory "$SMPROGRAMS\${PRODUCT}"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk" "$INSTDIR\quelma.exe" '/dir "$DataDir"' \
    "$INSTDIR\quelma.exe" 0 SW_SHOWNORMAL "" "Почтовый сервер для офисной сети"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\Справка ${PRODUCT}.lnk" "$INSTDIR\quelma.chm"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\Почта и настройки.lnk" "$DataDir"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\Удалить ${PRODUCT}.lnk" "$INSTDIR\Uninstall.exe"

  ; Written again by the next section when it is chosen; an upgrade without it stops autostart.
  DeleteRegValue HKLM "${RUN_KEY}" "${PRODUCT}"
SectionEnd

Section "Запускать вместе с Windows" SecAutostart
  WriteRegStr HKLM "${RUN_KEY}" "${PRODUCT}" '"$INSTDIR\quelma.exe" /tray /dir "$DataDir"'
SectionEnd

; Through the Start-menu shortcut opened by Explorer, so that the program runs as the user who
; is logged on, not with the installer's administrator rights.
Function StartProgram
  Exec '"$WINDIR\explorer.exe" "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk"'
FunctionEnd

Function .onInit
  SetShellVarContext all
  SetRegView 64
  ; An upgrade goes where the first installation went, unless /D= says otherwise, and keeps
  ; its data folder and its choice about autostart.
  ReadRegStr $0 HKLM "${PRODUCT_KEY}" "InstallLocation"
  ${If} $0 != ""
  ${AndIf} $INSTDIR == "$PROGRAMFILES64\${PRODUCT}"
    StrCpy $INSTDIR $0
  ${EndIf}
  ReadRegStr $DataDir HKLM "${PRODUCT_KEY}" "DataDirectory"
  ${If} $DataDir == ""
    StrCpy $DataDir "$APPDATA\${PRODUCT}"
  ${EndIf}
  ReadRegStr $1 HKLM "${RUN_KEY}" "${PRODUCT}"
  ${If} $0 != ""
  ${AndIf} $1 == ""
    !insertmacro UnselectSection ${SecAutostart}
  ${EndIf}
  ${GetParameters} $2
  ClearErrors
  ${GetOptions} $2 "/NOAUTOSTART" $3
  ${IfNot} ${Errors}
    !insertmacro UnselectSection ${SecAutostart}
  ${EndIf}
FunctionEnd

Section "un.${PRODUCT}" UnSecProgram
  SectionIn RO
  Call un.CloseRunningCopy
  Delete "$INSTDIR\quelma.exe"
  Delete "$INSTDIR\quelma.chm"
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk"
  Delete "$SMPROGRAMS\${PRODUCT}\Справка ${PRODUCT}.lnk"
  Delete "$SMPROGRAMS\${PRODUCT}\Почта и настройки.lnk"
  Delete "$SMPROGRAMS\${PRODUCT}\Удалить ${PRODUCT}.lnk"
  RMDir "$SMPROGRAMS\${PRODUCT}"
  DeleteRegValue HKLM "${RUN_KEY}" "${PRODUCT}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  DeleteRegKey HKLM "${PRODUCT_KEY}"
SectionEnd

; Off unless ticked; a silent uninstall always keeps the mail. The whole data folder goes
; (settings, log, maildrops, queue, downloads not yet sorted), but only the folder the installer
; itself named: a maildrop or queue set elsewhere in quelma.cfg is left where it is.
Section /o "un.Удалить также почту и настройки" UnSecData
  StrLen $0 "\${PRODUCT}"
  IntOp $0 0 - $0
  StrCpy $1 "$DataDir" "" $0
  ${If} $1 != "\${PRODUCT}"
    DetailPrint "Папка $DataDir оставлена: это не папка данных ${PRODUCT}"
    Return
  ${EndIf}
  RMDir /r "$DataDir"
  DetailPrint "Почта и настройки удалены"
SectionEnd

Function un.onInit
  SetShellVarContext all
  SetRegView 64
  ReadRegStr $DataDir HKLM "${PRODUCT_KEY}" "DataDirectory"
  ; Only an explicit /REMOVEDATA makes a silent uninstall take the mail too.
  ${un.GetParameters} $0
  ClearErrors
  ${un.GetOptions} $0 "/REMOVEDATA" $1
  ${IfNot} ${Errors}
    !insertmacro SelectSection ${UnSecData}
  ${EndIf}
FunctionEnd
