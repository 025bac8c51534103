; Setup program for Windows: Quellar.dll for 64-bit programs in "Program Files\Quellar" and for
; 32-bit programs in "Program Files (x86)\Quellar", each registered with the regsvr32 of its
; width, the examples, the headers the C++ example includes, a read-me and an uninstaller.
; /S installs and uninstalls silently, /D=<folder> chooses the 64-bit folder. Built by the
; target quellar_setup of the mingw preset, which defines VERSION, VERSION4 (four parts), DLL64,
; DLL32, SOURCE (the checkout), GENERATED (the generated headers) and OUTFILE.
Unicode true
; A 64-bit program: it runs only on 64-bit Windows, which hosts both widths.
Target amd64-unicode
ManifestSupportedOS all
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!include LogicLib.nsh
!include MUI2.nsh

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Quellar"
; Where 32-bit programs live; missing where Windows runs no 32-bit programs.
!define REGSVR32_32 "$WINDIR\SysWOW64\regsvr32.exe"
; The 32-bit folder, empty without one ($PROGRAMFILES32 names the 64-bit one in a 64-bit setup).
Var Dir32

Name "Quellar ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Quellar"
ShowInstDetails show
ShowUninstDetails show
VIProductVersion "${VERSION4}"
VIAddVersionKey /LANG=1033 ProductName "Quellar"
VIAddVersionKey /LANG=1033 ProductVersion "${VERSION}"
VIAddVersionKey /LANG=1033 FileVersion "${VERSION}"
VIAddVersionKey /LANG=1033 FileDescription "Quellar ${VERSION} setup"
VIAddVersionKey /LANG=1033 LegalCopyright "Quellar"

!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; Runs regsvr32 silently. A failed registration stops the setup (a DLL on disk but not
; registered would look installed and not work); the uninstaller goes on removing, and both
; end with exit code 2.
!macro Regsvr32 EXE ARGS DLL
  ClearErrors
  ExecWait '"${EXE}" /s ${ARGS} "${DLL}"' $0
  ${If} ${Errors}
  ${OrIf} $0 != 0
    DetailPrint "regsvr32 /s ${ARGS} ${DLL} failed ($0)"
    SetErrorLevel 2
    !ifndef __UNINSTALL__
      Abort "Registering ${DLL} failed; run the uninstaller to remove what was installed."
    !endif
  ${EndIf}
!macroend

!macro OnInit
  SetRegView 64
  ReadRegStr $Dir32 HKLM "Software\Microsoft\Windows\CurrentVersion" "ProgramFilesDir (x86)"
  ${If} $Dir32 != ""
    StrCpy $Dir32 "$Dir32\Quellar"
  ${EndIf}
!macroend

Function .onInit
  !insertmacro OnInit
FunctionEnd

Function un.onInit
  !insertmacro OnInit
FunctionEnd

Section "Quellar"
  SetOutPath "$INSTDIR"
  ; The uninstaller first, so that a failed registration can still be undone.
  WriteUninstaller "$INSTDIR\Uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Quellar ${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Quellar"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1

  File "/oname=Quellar.dll" "${DLL64}"
  File "/oname=ReadMe.txt" "${SOURCE}/packaging/windows/ReadMe.txt"
  SetOutPath "$INSTDIR\examples\vbscript"
  File "${SOURCE}/examples/vbscript/Measure.vbs"
  SetOutPath "$INSTDIR\examples\cpp"
  File "${SOURCE}/examples/cpp/Measurement.cpp"
  File "${SOURCE}/examples/cpp/ClientCom.h"
  File "${SOURCE}/examples/cpp/ClientComWin32.cpp"
  SetOutPath "$INSTDIR\include\automation"
  File "${GENERATED}/automation/Quellar_TLB.h"
  File "${SOURCE}/src/automation/InterfaceId.h"
  SetOutPath "$INSTDIR\include\automation\com"
  File "${SOURCE}/src/automation/com/ComBase.h"

  SetOutPath "$INSTDIR"
  !insertmacro Regsvr32 "$SYSDIR\regsvr32.exe" "" "$INSTDIR\Quellar.dll"

  ${If} $Dir32 != ""
  ${AndIf} ${FileExists} "${REGSVR32_32}"
    SetOutPath "$Dir32"
    File "/oname=Quellar.dll" "${DLL32}"
    !insertmacro Regsvr32 "${REGSVR32_32}" "" "$Dir32\Quellar.dll"
  ${Else}
    DetailPrint "No 32-bit Windows on this system: the 32-bit Quellar.dll is not installed."
  ${EndIf}
SectionEnd

Section "Uninstall"
  ${If} ${FileExists} "$INSTDIR\Quellar.dll"
    !insertmacro Regsvr32 "$SYSDIR\regsvr32.exe" "/u" "$INSTDIR\Quellar.dll"
  ${EndIf}
  ${If} $Dir32 != ""
  ${AndIf} ${FileExists} "$Dir32\Quellar.dll"
    ${If} ${FileExists} "${REGSVR32_32}"
      !insertmacro Regsvr32 "${REGSVR32_32}" "/u" "$Dir32\Quellar.dll"
    ${EndIf}
    Delete "$Dir32\Quellar.dll"
    RMDir "$Dir32"
  ${EndIf}

  Delete "$INSTDIR\include\automation\com\ComBase.h"
  RMDir "$INSTDIR\include\automation\com"
  Delete "$INSTDIR\include\automation\Quellar_TLB.h"
  Delete "$INSTDIR\include\automation\InterfaceId.h"
  RMDir "$INSTDIR\include\automation"
  RMDir "$INSTDIR\include"
  Delete "$INSTDIR\examples\cpp\Measurement.cpp"
  Delete "$INSTDIR\examples\cpp\ClientCom.h"
  Delete "$INSTDIR\examples\cpp\ClientComWin32.cpp"
  RMDir "$INSTDIR\examples\cpp"
  Delete "$INSTDIR\examples\vbscript\Measure.vbs"
  RMDir "$INSTDIR\examples\vbscript"
  RMDir "$INSTDIR\examples"
  Delete "$INSTDIR\Quellar.dll"
  Delete "$INSTDIR\ReadMe.txt"
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
