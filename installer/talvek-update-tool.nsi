; The Windows installer: the tool in Program Files, a Start menu entry, and an uninstaller that
; is also listed in the system's list of installed programs.
;
;   makensis -DEXE=<path of talvek-update-tool.exe> -DOUTFILE=<setup.exe> installer/talvek-update-tool.nsi
;
; scripts/build-installer.sh does this. The uninstaller leaves each user's folder of update
; files (%LOCALAPPDATA%\TALVEK Update Tool) alone: it may hold the backup an interrupted update
; still needs.

; A 64-bit installer for a 64-bit program: it writes the 64-bit registry and Program Files.
Target amd64-unicode
SetCompressor /SOLID lzma

!define APPNAME "TALVEK Update Tool"
!define EXENAME "talvek-update-tool.exe"
!define UNINSTALLKEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\TALVEK Update Tool"
!ifndef VERSION
  !define VERSION "1.4"
!endif
!ifndef EXE
  !error "EXE must name the program to install (-DEXE=...)"
!endif
!ifndef OUTFILE
  !define OUTFILE "talvek-update-tool-${VERSION}-setup.exe"
!endif

Name "${APPNAME} ${VERSION}"
OutFile "${OUTFILE}"
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
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALLKEY}"
SectionEnd
