; The Windows installer: the tool in Program Files, a Start menu entry, and an uninstaller that
; is also listed in the system's list of installed programs.
;
;   makensis -DEXE=<talvek-update-tool.exe> -DCLI=<talvek-update.exe> -DICON=<.ico> -DOUTFILE=<setup.exe>
;            installer/talvek-update-tool.nsi
;
; scripts/build-installer.sh does this. The uninstaller leaves each user's folder of update
; files (%LOCALAPPDATA%\TALVEK Update Tool) alone: it may hold the backup an interrupted update
; still needs.

; A 64-bit installer for a 64-bit program: it writes the 64-bit registry and Program Files.
Target amd64-unicode
SetCompressor /SOLID lzma

!include LogicLib.nsh

!define APPNAME "TALVEK Update Tool"
!define EXENAME "talvek-update-tool.exe"
!define CLINAME "talvek-update.exe"
; The machine-wide mutex that the window's framework holds while it runs, and the terminal tool
; too (instance/InstanceLock.cpp).
!define RUNNINGMUTEX "juceAppLock_${APPNAME}"
!define UNINSTALLKEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\TALVEK Update Tool"
!ifndef VERSION
  !define VERSION "1.4"
!endif
!ifndef EXE
  !error "EXE must name the program to install (-DEXE=...)"
!endif
!ifndef CLI
  !error "CLI must name the terminal tool to install (-DCLI=...)"
!endif
!ifndef ICON
  !error "ICON must name the program's icon (-DICON=...)"
!endif
!ifndef OUTFILE
  !define OUTFILE "talvek-update-tool-${VERSION}-setup.exe"
!endif

Name "${APPNAME} ${VERSION}"
OutFile "${OUTFILE}"
Icon "${ICON}"
UninstallIcon "${ICON}"

; The installer's own version resource.
VIProductVersion "${VERSION}.0.0"
VIFileVersion "${VERSION}.0.0"
VIAddVersionKey /LANG=1033 "ProductName" "${APPNAME}"
VIAddVersionKey /LANG=1033 "CompanyName" "TALVEK"
VIAddVersionKey /LANG=1033 "FileDescription" "${APPNAME} ${VERSION} Setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "TALVEK Update Tool developers, GPL-3.0-or-later"

; A running copy (the window or talvek-update) keeps its program files open and may be writing
; an instrument's flash: it is never replaced or removed under it.
!macro REFUSE_WHILE_RUNNING
  System::Call 'kernel32::OpenMutexW(i 0x00100000, i 0, w "Global\${RUNNINGMUTEX}") p .r0'
  ${If} $0 == 0
    System::Call 'kernel32::OpenMutexW(i 0x00100000, i 0, w "Local\${RUNNINGMUTEX}") p .r0'
  ${EndIf}
  ${If} $0 != 0
    System::Call 'kernel32::CloseHandle(p r0)'
    MessageBox MB_OK|MB_ICONSTOP "${APPNAME} is running (its window, or talvek-update in a terminal).$\r$\n$\r$\nClose it, wait for an update to finish, then start this again." /SD IDOK
    SetErrorLevel 2
    Quit
  ${EndIf}
!macroend

Function .onInit
  !insertmacro REFUSE_WHILE_RUNNING
FunctionEnd

Function un.onInit
  !insertmacro REFUSE_WHILE_RUNNING
FunctionEnd
InstallDir "$PROGRAMFILES64\${APPNAME}"
RequestExecutionLevel admin

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "Install"
  SetShellVarContext all
  SetOutPath "$INSTDIR"
  File "/oname=${EXENAME}" "${EXE}"
  File "/oname=${CLINAME}" "${CLI}"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortcut "$SMPROGRAMS\${APPNAME}.lnk" "$INSTDIR\${EXENAME}"

  WriteRegStr HKLM "${UNINSTALLKEY}" "DisplayName" "${APPNAME}"
  WriteRegStr HKLM "${UNINSTALLKEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALLKEY}" "Publisher" "TALVEK"
  WriteRegStr HKLM "${UNINSTALLKEY}" "DisplayIcon" "$INSTDIR\${EXENAME}"
  WriteRegStr HKLM "${UNINSTALLKEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALLKEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALLKEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALLKEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALLKEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  SetShellVarContext all
  Delete "$SMPROGRAMS\${APPNAME}.lnk"
  Delete "$INSTDIR\${EXENAME}"
  Delete "$INSTDIR\${CLINAME}"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALLKEY}"
SectionEnd
