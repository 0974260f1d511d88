; Tastlink's setup program: installs for the current user only, so that no
; administrator is needed, and puts the program where Windows keeps such
; programs, in the Start menu and under "Apps & Features".
;
;   makensis -INPUTCHARSET UTF8 -DVERSION=1.0.0 -DTARGET=amd64-unicode "-DPUBLISHER=..."
;            -DEXE=Tastlink.exe -DTEXTS=<folder of the .txt files>
;            -DICON=tastlink.ico -DOUTFILE=Tastlink-1.0.0-win64-setup.exe tastlink.nsi
;
; TARGET is amd64-unicode for 64-bit Windows, x86-unicode for 32-bit.
; Silent: "/S" installs (with autostart unless "/AUTOSTART=0") or, given to
; Uninstall.exe, uninstalls and keeps the user's settings.

Unicode true
Target ${TARGET}
SetCompressor /SOLID lzma
RequestExecutionLevel user
ManifestDPIAware true

!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Tastlink"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"

Name "Tastlink"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\Tastlink"
; An upgrade goes where the last install went.
InstallDirRegKey HKCU "${UNINST_KEY}" "InstallLocation"

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_COMPONENTSPAGE_NODESC
!define MUI_FINISHPAGE_RUN "$INSTDIR\Tastlink.exe"
!define MUI_FINISHPAGE_RUN_TEXT "Tastlink jetzt starten"
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "German"

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=${LANG_GERMAN} "ProductName" "Tastlink"
VIAddVersionKey /LANG=${LANG_GERMAN} "FileDescription" "Tastlink Setup"
VIAddVersionKey /LANG=${LANG_GERMAN} "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=${LANG_GERMAN} "LegalCopyright" "MIT-Lizenz"
VIAddVersionKey /LANG=${LANG_GERMAN} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_GERMAN} "ProductVersion" "${VERSION}"

Var WasRunning
Var WasMinimized

; Ends the installed Tastlink as its close button does, so that it lets its
; keys up and forgets nothing; only a copy that will not end within ten
; seconds is terminated. Any window named "Tastlink" will do: a copy that
; found a mistake in its settings file shows only a box, and closing the box
; ends it too. Copies started from elsewhere (the ZIP) are left alone: they
; hold none of these files.
!macro CLOSE_TASTLINK un
Function ${un}CloseTastlink
  StrCpy $WasRunning 0
  StrCpy $WasMinimized 0
  StrCpy $1 0  ; the window after which to look
  ${Do}
    System::Call 'user32::FindWindowExW(p 0, p r1, p 0, w "Tastlink") p .r0'
    ${IfThen} $0 = 0 ${|} ${ExitDo} ${|}
    StrCpy $1 $0
    System::Call 'user32::GetWindowThreadProcessId(p r0, *i .r2)'
    ; SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE
    System::Call 'kernel32::OpenProcess(i 0x101001, i 0, i r2) p .r3'
    ${IfThen} $3 P= 0 ${|} ${Continue} ${|}
    System::Call 'kernel32::QueryFullProcessImageNameW(p r3, i 0, w .r4, *i ${NSIS_MAX_STRLEN})'
    ${If} $4 == "$INSTDIR\Tastlink.exe"
      StrCpy $WasRunning 1
      System::Call 'user32::IsIconic(p r0) i .r5'
      System::Call 'user32::IsWindowVisible(p r0) i .r6'
      ${If} $5 <> 0
      ${OrIf} $6 = 0
        StrCpy $WasMinimized 1
      ${EndIf}
      System::Call 'user32::PostMessageW(p r0, i ${WM_CLOSE}, p 0, p 0)'
      System::Call 'kernel32::WaitForSingleObject(p r3, i 10000) i .r5'
      ${If} $5 <> 0
        System::Call 'kernel32::TerminateProcess(p r3, i 1)'
        System::Call 'kernel32::WaitForSingleObject(p r3, i 5000)'
      ${EndIf}
      ; Its window is gone: look again from the start.
      StrCpy $1 0
    ${EndIf}
    System::Call 'kernel32::CloseHandle(p r3)'
  ${Loop}
FunctionEnd
!macroend
!insertmacro CLOSE_TASTLINK ""
!insertmacro CLOSE_TASTLINK "un."

Section "Tastlink" SecProgram
  SectionIn RO
  SetShellVarContext current
  Call CloseTastlink
  SetOutPath "$INSTDIR"
  ; A copy that could not be closed keeps its file: better no install than
  ; one that says it is done and leaves the old program.
  ClearErrors
  File "/oname=Tastlink.exe" "${EXE}"
  ${If} ${Errors}
    MessageBox MB_OK|MB_ICONSTOP "$INSTDIR\Tastlink.exe lässt sich nicht ersetzen, weil es noch läuft. Bitte Tastlink beenden und die Installation wiederholen." /SD IDOK
    SetErrorLevel 2
    Abort
  ${EndIf}
  File "${TEXTS}/LICENSE.txt"
  File "${TEXTS}/LIESMICH.txt"
  File "${TEXTS}/README.txt"
  WriteUninstaller "$INSTDIR\Uninstall.exe"
  CreateShortcut "$SMPROGRAMS\Tastlink.lnk" "$INSTDIR\Tastlink.exe"

  WriteRegStr HKCU "${UNINST_KEY}" "DisplayName" "Tastlink"
  WriteRegStr HKCU "${UNINST_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINST_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKCU "${UNINST_KEY}" "DisplayIcon" "$INSTDIR\Tastlink.exe,0"
  WriteRegStr HKCU "${UNINST_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINST_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKCU "${UNINST_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINST_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINST_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKCU "${UNINST_KEY}" "EstimatedSize" $0
SectionEnd

; The same entry "Tastlink.exe --autostart on" writes.
Section "Mit Windows starten" SecAutostart
  WriteRegStr HKCU "${RUN_KEY}" "Tastlink" '"$INSTDIR\Tastlink.exe" --minimized --wait-for-port'
SectionEnd

Section "-Finish"
  ${IfNot} ${SectionIsSelected} ${SecAutostart}
    Call RemoveOwnAutostart
  ${EndIf}
  ; Out of the way again if it was, as the autostart starts it: then it also
  ; waits for an adapter unplugged meanwhile instead of reporting none.
  ${If} $WasMinimized = 1
    Exec '"$INSTDIR\Tastlink.exe" --minimized --wait-for-port'
  ${ElseIf} $WasRunning = 1
    Exec '"$INSTDIR\Tastlink.exe"'
  ${EndIf}
SectionEnd

; Only a Run entry that starts this install is the installer's: one written
; by a Tastlink from a ZIP is that copy's business. $0 is 1 for ours.
!macro REMOVE_OWN_AUTOSTART un
Function ${un}OwnAutostart
  ReadRegStr $0 HKCU "${RUN_KEY}" "Tastlink"
  StrCpy $1 '"$INSTDIR\Tastlink.exe"'
  StrLen $2 $1
  StrCpy $0 $0 $2
  ${If} $0 == $1
    StrCpy $0 1
  ${Else}
    StrCpy $0 0
  ${EndIf}
FunctionEnd

Function ${un}RemoveOwnAutostart
  Call ${un}OwnAutostart
  ${If} $0 = 1
    DeleteRegValue HKCU "${RUN_KEY}" "Tastlink"
  ${EndIf}
FunctionEnd
!macroend
!insertmacro REMOVE_OWN_AUTOSTART ""
!insertmacro REMOVE_OWN_AUTOSTART "un."

Function .onInit
  SetShellVarContext current
  ; An upgrade keeps the autostart choice made before.
  ReadRegStr $0 HKCU "${UNINST_KEY}" "UninstallString"
  ${If} $0 != ""
    Call OwnAutostart
    ${If} $0 = 0
      !insertmacro UnselectSection ${SecAutostart}
    ${EndIf}
  ${EndIf}
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/AUTOSTART=" $1
  ${IfNot} ${Errors}
    ${If} $1 == "0"
      !insertmacro UnselectSection ${SecAutostart}
    ${Else}
      !insertmacro SelectSection ${SecAutostart}
    ${EndIf}
  ${EndIf}
FunctionEnd

Function un.onInit
  SetShellVarContext current
FunctionEnd

Section "Uninstall"
  Call un.CloseTastlink
  ; First, and alone: while the program cannot go, everything stays, and so
  ; does its entry in "Apps & Features" to try again.
  Delete "$INSTDIR\Tastlink.exe"
  ${If} ${FileExists} "$INSTDIR\Tastlink.exe"
    MessageBox MB_OK|MB_ICONSTOP "$INSTDIR\Tastlink.exe lässt sich nicht entfernen, weil es noch läuft. Bitte Tastlink beenden und die Deinstallation wiederholen." /SD IDOK
    SetErrorLevel 2
    Abort
  ${EndIf}
  Delete "$INSTDIR\LICENSE.txt"
  Delete "$INSTDIR\LIESMICH.txt"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\Uninstall.exe"
  ; Only if empty: the user may have put files of their own there.
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\Tastlink.lnk"
  Call un.RemoveOwnAutostart
  ; The settings are the user's: asked for, and kept when nobody can be.
  ${If} ${FileExists} "$APPDATA\Tastlink\*.*"
    MessageBox MB_YESNO|MB_ICONQUESTION|MB_DEFBUTTON2 \
      "Sollen auch Ihre Einstellungen in $APPDATA\Tastlink entfernt werden?" /SD IDNO IDNO keep
    RMDir /r "$APPDATA\Tastlink"
    keep:
  ${EndIf}
  ; Last, so that "Apps & Features" lists Tastlink until all of it is gone.
  DeleteRegKey HKCU "${UNINST_KEY}"
SectionEnd
