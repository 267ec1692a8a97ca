; The Windows installer: per-machine into Program Files\Daveridur, Start-menu
; shortcuts, an entry in the system's list of installed programs, and inbound
; UDP firewall rules for the programs. Silent with /S, as is its uninstaller.
;
; Made by scripts/package.sh, which passes with -D:
;   VERSION BUILD MAJOR MINOR COMPANY   the version at the top of the tree
;   STAGE      the folder holding the files to install
;   OUTFILE    the installer to write
;   WITH_CLI   defined when the command-line program was built

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh

!define PRODUCT "Daveridur"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
!define RULE_PROGRAM "${PRODUCT} (UDP in)"
!define RULE_CLI "${PRODUCT} command line (UDP in)"
!define START_MENU "$SMPROGRAMS\${PRODUCT}"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${PRODUCT} ${VERSION} (Build ${BUILD})"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${MAJOR}.${MINOR}.${BUILD}.0"
VIFileVersion "${MAJOR}.${MINOR}.${BUILD}.0"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION} (Build ${BUILD})"
VIAddVersionKey /LANG=1033 "CompanyName" "${COMPANY}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} ${VERSION} setup"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Copyright (c) The Daveridur developers, MIT licence"

Var firewall_failures  ; what netsh said for each rule it could not add

!define MUI_ABORTWARNING
!insertmacro MUI_PAGE_LICENSE "${STAGE}\LICENSE.txt"
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_NOAUTOCLOSE
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; A running program's files cannot be replaced or removed, and half an install
; or uninstall is worse than none: wait for the operator to quit it, or stop
; (a silent run stops at once, with a non-zero exit code).
!macro WAIT_FOR_PROGRAM_TO_END
  ${Do}
    FindWindow $0 "DaveridurClassName"
    ${If} $0 == 0
      ${Break}
    ${EndIf}
    MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "${PRODUCT} is running. Quit it, then choose Retry; Cancel stops here." /SD IDCANCEL IDRETRY +2
    Abort
  ${Loop}
!macroend

Function .onInit
  SetShellVarContext all
  SetRegView 64
  !insertmacro WAIT_FOR_PROGRAM_TO_END
FunctionEnd

Function un.onInit
  SetShellVarContext all
  SetRegView 64
  !insertmacro WAIT_FOR_PROGRAM_TO_END
FunctionEnd

; Allows inbound UDP for one program. The cards answer a broadcast from
; addresses the firewall has not seen the program send to, so without the
; rule Discover finds nothing. Only on domain and private networks: on a
; public one (a hotel, an airport) nobody else's datagrams get in. A rule of
; the same name and program is removed first, so that installing again does
; not pile up duplicates.
; Stack in: rule name, program path.
Function AddFirewallRule
  Exch $1
  Exch
  Exch $0
  Push $2
  Push $3
  nsExec::ExecToStack '"$SYSDIR\netsh.exe" advfirewall firewall delete rule name="$0" program="$1"'
  Pop $2
  Pop $3
  nsExec::ExecToStack '"$SYSDIR\netsh.exe" advfirewall firewall add rule name="$0" dir=in action=allow protocol=UDP program="$1" enable=yes profile=domain,private'
  Pop $2
  Pop $3
  ${If} $2 == 0
    DetailPrint "Firewall: inbound UDP allowed for $1"
  ${ElseIf} $2 == "error"
    DetailPrint "Firewall: netsh could not be run for $1"
    StrCpy $firewall_failures "$firewall_failures$1: netsh could not be run$\r$\n"
  ${Else}
    DetailPrint "Firewall: could not allow inbound UDP for $1 (netsh $2: $3)"
    StrCpy $firewall_failures "$firewall_failures$1: netsh ended with $2: $3$\r$\n"
  ${EndIf}
  Pop $3
  Pop $2
  Pop $0
  Pop $1
FunctionEnd

!macro REMOVE_FIREWALL_RULE NAME PROGRAM
  nsExec::ExecToStack '"$SYSDIR\netsh.exe" advfirewall firewall delete rule name="${NAME}" program="${PROGRAM}"'
  Pop $0
  Pop $1
!macroend

Section "${PRODUCT}"
  SetOutPath "$INSTDIR"
  File "${STAGE}\daveridur.exe"
!ifdef WITH_CLI
  File "${STAGE}\daveridur-cli.exe"
!endif
  File "${STAGE}\guide.html"
  File "${STAGE}\LICENSE.txt"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  CreateDirectory "${START_MENU}"
  CreateShortcut "${START_MENU}\${PRODUCT}.lnk" "$INSTDIR\daveridur.exe"
  CreateShortcut "${START_MENU}\${PRODUCT} guide.lnk" "$INSTDIR\guide.html"
  CreateShortcut "${START_MENU}\Uninstall ${PRODUCT}.lnk" "$INSTDIR\uninstall.exe"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${COMPANY}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\daveridur.exe,0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "VersionMajor" ${MAJOR}
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "VersionMinor" ${MINOR}
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0

  StrCpy $firewall_failures ""
  Push "${RULE_PROGRAM}"
  Push "$INSTDIR\daveridur.exe"
  Call AddFirewallRule
!ifdef WITH_CLI
  Push "${RULE_CLI}"
  Push "$INSTDIR\daveridur-cli.exe"
  Call AddFirewallRule
!endif
  ; Not fatal: the programs work where no firewall stands in the way, and the
  ; rule can be added by hand. A silent install writes the reason to a log
  ; beside the programs instead of stopping at a box nobody sees.
  Delete "$INSTDIR\install.log"
  ${If} $firewall_failures != ""
    FileOpen $0 "$INSTDIR\install.log" w
    FileWrite $0 "The firewall rules could not be added:$\r$\n$firewall_failures"
    FileClose $0
    MessageBox MB_OK|MB_ICONEXCLAMATION "The Windows Firewall rules for ${PRODUCT} could not be added:$\r$\n$\r$\n$firewall_failures$\r$\nThe installation is complete. If Discover finds no cards, allow inbound UDP for the programs in the firewall (see Troubleshooting in the guide)." /SD IDOK
  ${EndIf}
SectionEnd

; Removes exactly what the installer put in place. The operator's settings
; (in the registry) and saved reports (in the user's local application data)
; stay, and so does anything else found in the folder.
Section "Uninstall"
  !insertmacro REMOVE_FIREWALL_RULE "${RULE_PROGRAM}" "$INSTDIR\daveridur.exe"
  !insertmacro REMOVE_FIREWALL_RULE "${RULE_CLI}" "$INSTDIR\daveridur-cli.exe"

  Delete "${START_MENU}\${PRODUCT}.lnk"
  Delete "${START_MENU}\${PRODUCT} guide.lnk"
  Delete "${START_MENU}\Uninstall ${PRODUCT}.lnk"
  RMDir "${START_MENU}"

  Delete "$INSTDIR\daveridur.exe"
  Delete "$INSTDIR\daveridur-cli.exe"
  Delete "$INSTDIR\guide.html"
  Delete "$INSTDIR\LICENSE.txt"
  Delete "$INSTDIR\install.log"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"

  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
