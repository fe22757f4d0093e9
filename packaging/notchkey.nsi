; The Windows installer. It installs for the user who runs it, without
; administrator rights, into a folder of their own: notchkey reads
; .\notchkey.ini from the folder it starts in, so the program, its settings
; and every shortcut's "Start in" are that one folder, which the user can edit.
;
;   makensis -DVERSION=1.2.3 -DFILES=DIR -DICON=FILE -DOUTFILE=FILE [-DTARGET=amd64-unicode] notchkey.nsi
;
; as packaging/make_installer.sh does. FILES holds what the zip holds:
; notchkey.exe, notchkey.ini, README.txt and, where there is one, LICENSE.txt.
; TARGET is for the test desk alone: a kernel that runs no 32-bit code runs an
; installer for x86-64 under wine64 instead.
;
; Command line: /S installs (or, for uninstall.exe, removes) silently; /STARTUP
; ticks "Start notchkey when I sign in" in a silent install too.

Unicode true
!ifdef TARGET
  Target ${TARGET}
!endif
SetCompressor /SOLID lzma
ManifestDPIAware true

!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\notchkey"
; The hidden window's class: notchkey's title.
!define WINDOW_CLASS "Lever to keys!"

Name "notchkey ${VERSION}"
BrandingText "notchkey ${VERSION}"
OutFile "${OUTFILE}"
RequestExecutionLevel user
InstallDir "$LOCALAPPDATA\Programs\notchkey"
InstallDirRegKey HKCU "${UNINST_KEY}" "InstallLocation"

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "notchkey"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileDescription" "notchkey installer"
VIAddVersionKey /LANG=1033 "CompanyName" "notchkey"
VIAddVersionKey /LANG=1033 "LegalCopyright" "notchkey developers"

!include MUI2.nsh
!include FileFunc.nsh
!include LogicLib.nsh
!include Sections.nsh

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_COMPONENTSPAGE_NODESC

!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
; Before its first start, notchkey wants the mascon's port.
!define MUI_FINISHPAGE_SHOWREADME "$INSTDIR\notchkey.ini"
!define MUI_FINISHPAGE_SHOWREADME_TEXT "Open notchkey.ini to set the mascon's port"
!define MUI_FINISHPAGE_RUN
!define MUI_FINISHPAGE_RUN_TEXT "Start notchkey"
!define MUI_FINISHPAGE_RUN_FUNCTION start_notchkey
!define MUI_FINISHPAGE_RUN_NOTCHECKED
!insertmacro MUI_PAGE_FINISH

Var kept
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!define MUI_FINISHPAGE_TEXT "notchkey has been removed.$\r$\n$\r$\n$kept"
!insertmacro MUI_UNPAGE_FINISH

!insertmacro MUI_LANGUAGE "English"

; A notchkey still running holds its exe and may hold keys down: it is asked
; to close as "Exit" would (its window's WM_CLOSE ends it in order), and given
; a few seconds to let go of the file.
!macro CLOSE_NOTCHKEY un
Function ${un}close_notchkey
  StrCpy $1 0
  ${Do}
    FindWindow $0 "${WINDOW_CLASS}"
    ${If} $0 = 0
    ${OrIf} $1 >= 10
      ${Break}
    ${EndIf}
    SendMessage $0 ${WM_CLOSE} 0 0 /TIMEOUT=5000
    IntOp $1 $1 + 1
  ${Loop}
  ${If} $1 > 0
  ${AndIf} ${FileExists} "$INSTDIR\notchkey.exe"
    StrCpy $1 0
    ${Do}
      ClearErrors
      FileOpen $0 "$INSTDIR\notchkey.exe" a
      ${IfNot} ${Errors}
        FileClose $0
        ${Break}
      ${EndIf}
      ${If} $1 >= 50
        ${Break}
      ${EndIf}
      Sleep 100
      IntOp $1 $1 + 1
    ${Loop}
  ${EndIf}
FunctionEnd
!macroend
!insertmacro CLOSE_NOTCHKEY ""
!insertmacro CLOSE_NOTCHKEY "un."

Function start_notchkey
  SetOutPath "$INSTDIR"
  Exec '"$INSTDIR\notchkey.exe"'
FunctionEnd

Section "notchkey" sec_program
  SectionIn RO
  SetShellVarContext current
  Call close_notchkey
  SetOutPath "$INSTDIR"
  File "${FILES}/notchkey.exe"
  File "${FILES}/README.txt"
  !if /FileExists "${FILES}/LICENSE.txt"
    File "${FILES}/LICENSE.txt"
  !endif
  ; The user's settings survive an upgrade.
  SetOverwrite off
  File "${FILES}/notchkey.ini"
  SetOverwrite on
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; CreateShortcut takes the output folder as the shortcut's "Start in".
  CreateDirectory "$SMPROGRAMS\notchkey"
  CreateShortcut "$SMPROGRAMS\notchkey\notchkey.lnk" "$INSTDIR\notchkey.exe"
  CreateShortcut "$SMPROGRAMS\notchkey\notchkey settings.lnk" "$INSTDIR\notchkey.ini"
  CreateShortcut "$SMPROGRAMS\notchkey\notchkey guide.lnk" "$INSTDIR\README.txt"

  WriteRegStr HKCU "${UNINST_KEY}" "DisplayName" "notchkey"
  WriteRegStr HKCU "${UNINST_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINST_KEY}" "Publisher" "notchkey developers"
  WriteRegStr HKCU "${UNINST_KEY}" "DisplayIcon" "$INSTDIR\notchkey.exe"
  WriteRegStr HKCU "${UNINST_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINST_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINST_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINST_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINST_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKCU "${UNINST_KEY}" "EstimatedSize" $0
SectionEnd

; A Startup shortcut rather than the Run key: a shortcut has a "Start in".
Section /o "Start notchkey when I sign in" sec_startup
  SetShellVarContext current
  SetOutPath "$INSTDIR"
  CreateShortcut "$SMSTARTUP\notchkey.lnk" "$INSTDIR\notchkey.exe"
SectionEnd

; Unticked on an upgrade: the start at sign-in made before goes.
Section "-startup off"
  SetShellVarContext current
  ${IfNot} ${SectionIsSelected} ${sec_startup}
    Delete "$SMSTARTUP\notchkey.lnk"
  ${EndIf}
SectionEnd

Function .onInit
  SetShellVarContext current
  ; An upgrade starts from the choice made before.
  ${If} ${FileExists} "$SMSTARTUP\notchkey.lnk"
    !insertmacro SelectSection ${sec_startup}
  ${EndIf}
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/STARTUP" $1
  ${IfNot} ${Errors}
    !insertmacro SelectSection ${sec_startup}
  ${EndIf}
FunctionEnd

Section "Uninstall"
  SetShellVarContext current
  Call un.close_notchkey
  Delete "$INSTDIR\notchkey.exe"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\LICENSE.txt"
  Delete "$INSTDIR\uninstall.exe"
  Delete "$SMPROGRAMS\notchkey\notchkey.lnk"
  Delete "$SMPROGRAMS\notchkey\notchkey settings.lnk"
  Delete "$SMPROGRAMS\notchkey\notchkey guide.lnk"
  RMDir "$SMPROGRAMS\notchkey"
  Delete "$SMSTARTUP\notchkey.lnk"
  DeleteRegKey HKCU "${UNINST_KEY}"
  ; Gone only when empty: the settings (and a log the user asked for) stay.
  RMDir "$INSTDIR"
  ${If} ${FileExists} "$INSTDIR\notchkey.ini"
    StrCpy $kept "Your settings stay in $INSTDIR\notchkey.ini; delete the folder $INSTDIR to remove them too."
    DetailPrint "$kept"
  ${EndIf}
SectionEnd
