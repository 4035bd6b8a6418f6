; brevalink's installer, made by packaging/windows/build.sh with
;   makensis -INPUTCHARSET UTF8 -DVERSION=1.0.0 -DVERSION4=1.0.0.0 -DSTAGE=dir -DOUTFILE=setup.exe
; STAGE holds the files of the zip's folder; they are what gets installed.
;
; Per user and without admin rights: the program keeps its settings in its working
; folder, so it must live where the user can write, never under Program Files.

; This Wine (and any 64-bit-only Windows) runs no 32-bit stub.
Target amd64-unicode
RequestExecutionLevel user
ManifestDPIAware true
SetCompressor /SOLID lzma

!include MUI2.nsh
!include FileFunc.nsh
!include LogicLib.nsh

!define APP brevalink
!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${APP}"
; The class of the program's main window, to find a running copy.
!define WINDOW_CLASS brevalinkWnd

Name "${APP} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\${APP}"
InstallDirRegKey HKCU "${UNINST_KEY}" "InstallLocation"
BrandingText "${APP} ${VERSION}"

VIProductVersion "${VERSION4}"
VIFileVersion "${VERSION4}"
VIAddVersionKey /LANG=0 "ProductName" "${APP}"
VIAddVersionKey /LANG=0 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "FileDescription" "${APP} ${VERSION} setup"
VIAddVersionKey /LANG=0 "CompanyName" "brevalink developers"
VIAddVersionKey /LANG=0 "LegalCopyright" "Copyright (c) 2026 brevalink developers"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!define MUI_COMPONENTSPAGE_NODESC
!define MUI_FINISHPAGE_RUN
!define MUI_FINISHPAGE_RUN_FUNCTION RunProgram
!define MUI_FINISHPAGE_SHOWREADME "$INSTDIR\README.txt"
!define MUI_FINISHPAGE_SHOWREADME_NOTCHECKED
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

; The first is the fallback; Windows' own language picks otherwise.
!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "Russian"

LangString SecProgram ${LANG_ENGLISH} "brevalink"
LangString SecProgram ${LANG_RUSSIAN} "brevalink"
LangString SecAutostart ${LANG_ENGLISH} "Start with Windows"
LangString SecAutostart ${LANG_RUSSIAN} "Запускать вместе с Windows"
LangString Running ${LANG_ENGLISH} "brevalink is running. Close it (tray icon, Exit) and press Retry."
LangString Running ${LANG_RUSSIAN} "brevalink запущена. Закройте её (значок в трее, Exit) и нажмите «Повтор»."

; A running program holds its exe: replacing or deleting it would fail halfway
; (silently, in a silent run). Its window goes first, and the process keeps the
; file a moment longer while it shuts down, so a free file is what counts.
!macro WaitForProgramClosed
    StrCpy $1 0
    ${Do}
        FindWindow $0 "${WINDOW_CLASS}"
        ${If} $0 == 0
            ${IfNot} ${FileExists} "$INSTDIR\brevalink.exe"
                ${Break}
            ${EndIf}
            ClearErrors
            FileOpen $0 "$INSTDIR\brevalink.exe" a
            ${IfNot} ${Errors}
                FileClose $0
                ${Break}
            ${EndIf}
            IntOp $1 $1 + 1
            ${If} $1 < 100
                Sleep 100
                ${Continue}
            ${EndIf}
        ${EndIf}
        MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "$(Running)" /SD IDCANCEL IDRETRY +2
        Abort
        StrCpy $1 0
    ${Loop}
!macroend

Section "$(SecProgram)" SecProgram
    SectionIn RO
    !insertmacro WaitForProgramClosed
    ; The working folder of every shortcut below is $OUTDIR: the install folder,
    ; where the program reads and writes its settings.
    SetOutPath "$INSTDIR"
    File "${STAGE}\brevalink.exe"
    File "${STAGE}\zlib1.dll"
    File "${STAGE}\README.txt"
    File "${STAGE}\LICENSE.txt"
    File "${STAGE}\zlib-LICENSE.txt"
    WriteUninstaller "$INSTDIR\uninstall.exe"
    CreateShortcut "$SMPROGRAMS\${APP}.lnk" "$INSTDIR\brevalink.exe"
    ; An update without the autostart choice takes it away again.
    Delete "$SMSTARTUP\${APP}.lnk"

    WriteRegStr HKCU "${UNINST_KEY}" "DisplayName" "${APP}"
    WriteRegStr HKCU "${UNINST_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKCU "${UNINST_KEY}" "Publisher" "brevalink developers"
    WriteRegStr HKCU "${UNINST_KEY}" "DisplayIcon" "$INSTDIR\brevalink.exe"
    WriteRegStr HKCU "${UNINST_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKCU "${UNINST_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKCU "${UNINST_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKCU "${UNINST_KEY}" "NoModify" 1
    WriteRegDWORD HKCU "${UNINST_KEY}" "NoRepair" 1
    ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
    WriteRegDWORD HKCU "${UNINST_KEY}" "EstimatedSize" $0
SectionEnd

Section /o "$(SecAutostart)" SecAutostart
    SetOutPath "$INSTDIR"
    CreateShortcut "$SMSTARTUP\${APP}.lnk" "$INSTDIR\brevalink.exe"
SectionEnd

Function .onInit
    ; An update keeps the autostart it found; /AUTOSTART asks for it in a silent install.
    ${If} ${FileExists} "$SMSTARTUP\${APP}.lnk"
        SectionSetFlags ${SecAutostart} ${SF_SELECTED}
    ${EndIf}
    ${GetParameters} $R0
    ClearErrors
    ${GetOptions} $R0 "/AUTOSTART" $R1
    ${IfNot} ${Errors}
        SectionSetFlags ${SecAutostart} ${SF_SELECTED}
    ${EndIf}
FunctionEnd

Function RunProgram
    SetOutPath "$INSTDIR"
    Exec '"$INSTDIR\brevalink.exe"'
FunctionEnd

Section "Uninstall"
    !insertmacro WaitForProgramClosed
    ; Only what the installer put there: the settings (*.ini), connect.list and
    ; recordings the program wrote beside it are the user's and stay.
    Delete "$INSTDIR\brevalink.exe"
    Delete "$INSTDIR\zlib1.dll"
    Delete "$INSTDIR\README.txt"
    Delete "$INSTDIR\LICENSE.txt"
    Delete "$INSTDIR\zlib-LICENSE.txt"
    Delete "$INSTDIR\uninstall.exe"
    Delete "$SMPROGRAMS\${APP}.lnk"
    Delete "$SMSTARTUP\${APP}.lnk"
    DeleteRegKey HKCU "${UNINST_KEY}"
    ; Goes only when nothing of the user's is left in it.
    RMDir "$INSTDIR"
SectionEnd
