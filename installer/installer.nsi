; The installer a Windows user runs. The build (installer/CMakeLists.txt)
; passes the product, the version and the paths of what it built:
;   PRODUCT  PUBLISHER  VERSION  MSI_UPGRADE_CODE (the Windows Installer
;   package's, installer.wxs: while that package's installation is present
;   this setup refuses to run)
;   DATA_SOURCE  TWACQUIRE  MIL  MILORION  DOCS  OUTFILE
;   DATA_SOURCE64  HOST  HOST_RELAY  TWACQUIRE64  (the parts for 64-bit
;   applications, installed only on 64-bit Windows)
;
; Command line of the installer:   /S silent   /SIMULATOR  add the simulated
;                                               board library
; Command line of the uninstaller: /S silent   /PURGE      remove the user's
;                                               settings too
;
; What the uninstaller removes is what this installer put there and nothing
; else: the simulated library only when it was installed by us (values in the
; uninstall entry say so), never a board library found in place or put over
; ours later.

Unicode true
SetCompressor /SOLID lzma
; The data source goes into the Windows folder and the board library into the
; system folder, which only an administrator may write to.
RequestExecutionLevel admin

!include MUI2.nsh
!include FileFunc.nsh
!include LogicLib.nsh
!include Sections.nsh
!include x64.nsh

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
; The user's settings and "Dump", written by the data source itself.
!define SETTINGS_KEY "SOFTWARE\Talvenix\Twain"
; Where TWAIN managers look for sources: one folder per maker under twain_32,
; and under twain_64 for the managers of 64-bit applications.
!define SOURCE_DIR "$WINDIR\twain_32\Talvenix"
!define SOURCE64_DIR "$WINDIR\twain_64\Talvenix"

; The version the installer announces is the one the data source carries.
!getdllversion "${DATA_SOURCE}" SourceVersion_
!if "${SourceVersion_1}.${SourceVersion_2}.${SourceVersion_3}.${SourceVersion_4}" != "${VERSION}"
    !error "Twain_32.ds is version ${SourceVersion_1}.${SourceVersion_2}.${SourceVersion_3}.${SourceVersion_4}, the project ${VERSION}"
!endif

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES\Talvenix\Orion TWAIN"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion ${VERSION}
VIAddVersionKey ProductName "${PRODUCT}"
VIAddVersionKey CompanyName "${PUBLISHER}"
VIAddVersionKey ProductVersion "${VERSION}"
VIAddVersionKey FileVersion "${VERSION}"
VIAddVersionKey FileDescription "${PRODUCT} ${VERSION} setup"
VIAddVersionKey LegalCopyright "Talvenix"

!define MUI_WELCOMEPAGE_TEXT "This installs the TWAIN data source for the Orion frame grabber, version ${VERSION}, for 32-bit TWAIN applications (and, on 64-bit Windows, for 64-bit ones), with the acquisition tool twacquire and the user guide.$\r$\n$\r$\nInstalling needs administrator rights: the data source goes into the Windows folder.$\r$\n$\r$\nClose every TWAIN application before you go on."
!insertmacro MUI_PAGE_WELCOME
!define MUI_COMPONENTSPAGE_NODESC
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_COMPONENTS
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "English"

!macro RequireAdministrator
    UserInfo::GetAccountType
    Pop $0
    ${If} $0 != "admin"
        MessageBox MB_OK|MB_ICONSTOP "${PRODUCT} needs administrator rights: it installs into the Windows folder.$\r$\nStart the setup again as an administrator (right-click, Run as administrator)." /SD IDOK
        ; ERROR_ELEVATION_REQUIRED
        SetErrorLevel 740
        Quit
    ${EndIf}
!macroend

; One machine, one installer: the Windows Installer package (installer.wxs)
; installs the same files under an uninstall entry of its own. While its
; installation is present, found by the package's upgrade code, this setup
; stops, with a message box, or silently (/S) with the message on the
; standard error output if there is one, and exit status 1638
; (ERROR_PRODUCT_VERSION, as Windows Installer's own for another version of a
; product installed).
!macro RefuseBesideThePackage
    System::Call 'msi::MsiEnumRelatedProductsW(w "{${MSI_UPGRADE_CODE}}", i 0, i 0, w .r1) i .r0'
    ${If} $0 == 0
        StrCpy $2 "${PRODUCT} is installed from its Windows Installer package (.msi).$\r$\nRemove it first ($\"Programs and Features$\", or msiexec /x), then run this setup again."
        ${If} ${Silent}
            StrCpy $3 "$2$\r$\n"
            StrLen $4 $3
            System::Call 'kernel32::GetStdHandle(i -12) p .r5'
            System::Call 'kernel32::WriteFile(p r5, m r3, i r4, *i .r6, p 0)'
        ${EndIf}
        MessageBox MB_OK|MB_ICONSTOP "$2" /SD IDOK
        SetErrorLevel 1638
        Quit
    ${EndIf}
!macroend

; The board's own installer may later put its libraries over the simulated
; ones; the uninstaller removes a library only while it still has the time
; stamp it was installed with.
!macro RememberFileTime NAME
    GetFileTime "$SYSDIR\${NAME}" $1 $2
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Installed ${NAME}" "$1 $2"
!macroend
!macro RemoveIfUnchanged NAME
    ClearErrors
    GetFileTime "$SYSDIR\${NAME}" $1 $2
    ReadRegStr $3 HKLM "${UNINSTALL_KEY}" "Installed ${NAME}"
    ${IfNot} ${Errors}
        ${If} "$1 $2" == $3
            Delete "$SYSDIR\${NAME}"
        ${Else}
            DetailPrint "$SYSDIR\${NAME} was replaced after the installation and is left in place."
        ${EndIf}
    ${EndIf}
!macroend

Section "Data source, twacquire and user guide" SecSource
    SectionIn RO
    SetOutPath "${SOURCE_DIR}"
    File "/oname=Twain_32.ds" "${DATA_SOURCE}"
    SetOutPath "$INSTDIR"
    File "${TWACQUIRE}"
    File "${DOCS}/user-guide.md"
    File "${DOCS}/settings-colour-composite.png"
    File "${DOCS}/settings-colour-video-norm.png"
    File "${DOCS}/settings-rgb-references.png"
    File "${DOCS}/settings-rgb-video-norm.png"
    ; 64-bit applications load Twain_64.ds, which runs the 32-bit source in
    ; its host process; only a 64-bit Windows has such applications.
    ${If} ${RunningX64}
        SetOutPath "${SOURCE_DIR}"
        File "${HOST}"
        File "${HOST_RELAY}"
        SetOutPath "${SOURCE64_DIR}"
        File "/oname=Twain_64.ds" "${DATA_SOURCE64}"
        SetOutPath "$INSTDIR"
        File "/oname=twacquire64.exe" "${TWACQUIRE64}"
    ${EndIf}
    WriteUninstaller "$INSTDIR\Uninstall.exe"

    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section /o "Simulated board library (for machines without the board)" SecSimulator
    ; Ours from an earlier installation may be replaced; anybody else's not.
    ReadRegDWORD $0 HKLM "${UNINSTALL_KEY}" "SimulatedBoardLibrary"
    ${If} $0 != 1
        ${If} ${FileExists} "$SYSDIR\MIL.DLL"
        ${OrIf} ${FileExists} "$SYSDIR\MILORION.DLL"
            DetailPrint "A board library is installed already ($SYSDIR\MIL.DLL): the simulated library is not installed."
            MessageBox MB_OK|MB_ICONINFORMATION "A board library is installed already ($SYSDIR\MIL.DLL).$\r$\nThe simulated board library is not installed; the existing library is left as it is." /SD IDOK
            Return
        ${EndIf}
    ${EndIf}
    SetOutPath "$SYSDIR"
    File "${MIL}"
    File "${MILORION}"
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "SimulatedBoardLibrary" 1
    !insertmacro RememberFileTime "MIL.DLL"
    !insertmacro RememberFileTime "MILORION.DLL"
SectionEnd

Section "-Size"
    SectionGetSize ${SecSource} $0
    ReadRegDWORD $1 HKLM "${UNINSTALL_KEY}" "SimulatedBoardLibrary"
    ${If} $1 == 1
        SectionGetSize ${SecSimulator} $1
        IntOp $0 $0 + $1
    ${EndIf}
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Function .onInit
    !insertmacro RequireAdministrator
    !insertmacro RefuseBesideThePackage
    ${GetParameters} $R0
    ClearErrors
    ${GetOptions} $R0 "/SIMULATOR" $R1
    ${IfNot} ${Errors}
        !insertmacro SelectSection ${SecSimulator}
    ${EndIf}
FunctionEnd

Section "-un.Product"
    Delete "${SOURCE_DIR}\Twain_32.ds"
    ; The trace the source writes beside itself when "Dump" is 42.
    Delete "${SOURCE_DIR}\TALVENIX.LOG"
    Delete "${SOURCE_DIR}\TwainHost32.exe"
    Delete "${SOURCE_DIR}\TWAINDSM.DLL"
    RMDir "${SOURCE_DIR}"
    Delete "${SOURCE64_DIR}\Twain_64.ds"
    Delete "${SOURCE64_DIR}\TALVENIX.LOG"
    RMDir "${SOURCE64_DIR}"

    Delete "$INSTDIR\twacquire.exe"
    Delete "$INSTDIR\twacquire64.exe"
    Delete "$INSTDIR\user-guide.md"
    Delete "$INSTDIR\settings-colour-composite.png"
    Delete "$INSTDIR\settings-colour-video-norm.png"
    Delete "$INSTDIR\settings-rgb-references.png"
    Delete "$INSTDIR\settings-rgb-video-norm.png"
    Delete "$INSTDIR\Uninstall.exe"
    RMDir "$INSTDIR"
    ; The maker's folder only when no other product of ours is left in it.
    ${GetParent} "$INSTDIR" $1
    RMDir "$1"

    ReadRegDWORD $0 HKLM "${UNINSTALL_KEY}" "SimulatedBoardLibrary"
    ${If} $0 == 1
        !insertmacro RemoveIfUnchanged "MIL.DLL"
        !insertmacro RemoveIfUnchanged "MILORION.DLL"
    ${EndIf}
SectionEnd

Section /o "un.Remove my settings" SecPurge
    DeleteRegKey HKCU "${SETTINGS_KEY}"
    DeleteRegKey /ifempty HKCU "SOFTWARE\Talvenix"
SectionEnd

; Last, so that the entry's going says the uninstaller is done.
Section "-un.Entry"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd

Function un.onInit
    !insertmacro RequireAdministrator
    ${GetParameters} $R0
    ClearErrors
    ${GetOptions} $R0 "/PURGE" $R1
    ${IfNot} ${Errors}
        !insertmacro SelectSection ${SecPurge}
    ${EndIf}
FunctionEnd
