; SPDX-License-Identifier: GPL-3.0-or-later
; Part of the installer (cmake/WindowsDeploy.cmake includes it where the
; installer is about to write its files): takes the place of an installation
; made by the 32-bit installer of earlier builds.
;
; That installer kept its records in the 32-bit view of the registry, where
; this 64-bit installer and its uninstaller never look: left there, they
; would list Kiverlo twice in Add/Remove Programs, and the second entry would
; outlive any uninstall. Its uninstaller is not run: it is a 32-bit program,
; which a machine without 32-bit support (Wine built without it, for one)
; cannot start, and it would leave itself behind. Instead, on every machine
; alike, this removes what the 32-bit installer wrote, as its records name it:
;
;   - from its folder (the one its Add/Remove entry names) the package's files
;     and folders, as the uninstaller's list has them, and Uninstall.exe; then
;     the folder, when nothing else is left in it (nothing is removed whole);
;   - its Start menu entries, in the Start menu folder it recorded, and that
;     folder and the ones above it while they are empty;
;   - its Add/Remove entry and its own key Software\Trunoma\Kiverlo Installer
;     in the 32-bit view, and Software\Trunoma there when that is left empty.
;
; The user's settings, HKCU\Software\Trunoma\Kiverlo, are not touched. The
; names are those the 32-bit installer used; they are not to follow any
; later change of this installer's own. KiverloPackageFiles, the removal of
; the package's files from $INSTDIR, is defined by
; cmake/ReproduciblePackage.cmake with the uninstaller's list.

  SetRegView 32
  ReadRegStr $R0 HKLM "Software\Microsoft\Windows\CurrentVersion\Uninstall\Kiverlo Installer" "UninstallString"
  StrCmp $R0 "" kiverlo32_done
  DetailPrint "Removing the installation of the 32-bit installer"

  ; Its folder: the uninstaller's path, unquoted, without "\Uninstall.exe".
  StrCpy $R1 $R0 1
  StrCmp $R1 '"' 0 +2
    StrCpy $R0 $R0 "" 1
  StrCpy $R1 $R0 1 -1
  StrCmp $R1 '"' 0 +2
    StrCpy $R0 $R0 -1
  StrCpy $R1 $R0 "" -14
  StrCmp $R1 "\Uninstall.exe" 0 kiverlo32_menu
  StrCpy $R1 $R0 -14
  StrCmp $R1 "" kiverlo32_menu
  Push $INSTDIR
  StrCpy $INSTDIR $R1
  !insertmacro KiverloPackageFiles
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"
  Pop $INSTDIR

kiverlo32_menu:
  ReadRegStr $R2 HKLM "Software\Microsoft\Windows\CurrentVersion\Uninstall\Kiverlo Installer" "StartMenu"
  StrCmp $R2 "" kiverlo32_records
  Delete "$SMPROGRAMS\$R2\Kiverlo.lnk"
  Delete "$SMPROGRAMS\$R2\Uninstall.lnk"
  StrCpy $R2 "$SMPROGRAMS\$R2"
kiverlo32_menu_folder:
  ClearErrors
  RMDir $R2
  IfErrors kiverlo32_records
  GetFullPathName $R2 "$R2\.."
  IfErrors kiverlo32_records
  StrCmp $R2 $SMPROGRAMS kiverlo32_records kiverlo32_menu_folder

kiverlo32_records:
  DeleteRegKey HKLM "Software\Microsoft\Windows\CurrentVersion\Uninstall\Kiverlo Installer"
  DeleteRegKey HKLM "Software\Trunoma\Kiverlo Installer"
  DeleteRegKey /ifempty HKLM "Software\Trunoma"

kiverlo32_done:
  SetRegView 64
  ; Its folder may have been this one.
  SetOutPath "$INSTDIR"
