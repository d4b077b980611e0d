; The installer of Tovi Explorer: the program (an OPC server), its OPC
; proxy/stub, the command-line client, the help file when the build has one
; and a sample configuration. Built by the build for both architectures:
;   makensis -DARCH=x64|x86 -DVERSION=1.2.3 -DSERVER_EXE=... -DPROXY_DLL=...
;            [-DPROXY_DLL_X86=...] -DCLIENT_EXE=... -DSAMPLE=... [-DHELP_CHM=...]
;            -DOUTFILE=... ToviExplorer.nsi
; The 64-bit installer also carries the 32-bit proxy/stub (PROXY_DLL_X86) and
; registers it in the 32-bit registry view, so that 32-bit clients reach the
; 64-bit server.
; Silent (/S) install and uninstall for scripting; "/REMOVEUSERDATA" on the
; uninstaller's command line also removes the configuration and event log
; files the program last used, as its own /UnregServer does.
; A running program is closed first (its OPC clients are told); when it
; cannot be ended, nothing is changed and the exit code is 2.
; The uninstaller is done within half a minute whatever ran before, and
; keeps what it did, step by step with the seconds since its start, in
; "Tovi Explorer Uninstall.log" in the temporary folder. A file another
; program still has loaded (the proxy/stub in an OPC client, the program
; itself) is moved aside and deleted when Windows restarts.
; A Sample.tvf the user changed stays: the new sample goes beside it as
; "Sample (new).tvf", and Install.log beside the program says so.

Unicode true
!if "${ARCH}" == "x64"
  Target amd64-unicode
!else
  Target x86-unicode
!endif
SetCompressor /SOLID lzma
RequestExecutionLevel admin
ManifestDPIAware true

!include LogicLib.nsh
!include FileFunc.nsh
!include Sections.nsh

!define PRODUCT "Tovi Explorer"
!define PUBLISHER "Zelkor Company"
!define EXE "Tovi Explorer.exe"
!define PROXY "ToviExplorerPS.dll"
!define CLIENT "tovi-opc.exe"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\ToviExplorer"
!define SETTINGS_KEY "Software\Zelkor\Tovi Explorer\Settings"
; Where the 32-bit proxy/stub goes beside the 64-bit program, and the
; registration program that runs it in the 32-bit registry view.
!define PROXY_X86_DIR "$INSTDIR\x86"
!define REGSVR32_X86 "$WINDIR\SysWOW64\regsvr32.exe"
; The class of the program's main window, and how long a running program
; has to close on request before it is ended: the setup's, and the
; uninstaller's first and second close, which together keep it within half
; a minute (the program itself ends within a few seconds whatever its
; clients do).
!define FRAME_CLASS "ToviExplorerFrame"
!define CLOSE_SECONDS 30
!define UN_CLOSE_SECONDS 15
!define UN_RECLOSE_SECONDS 5
!define UNINSTALL_LOG "Tovi Explorer Uninstall.log"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
; A 64-bit installer's $PROGRAMFILES is the 64-bit Program Files.
InstallDir "$PROGRAMFILES\Zelkor\${PRODUCT}"
BrandingText "${PUBLISHER}"
VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "CompanyName" "${PUBLISHER}"
VIAddVersionKey "FileDescription" "${PRODUCT} Setup"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "${PUBLISHER}"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage components
UninstPage instfiles

; The proxy/stub registers each OPC interface only where no other proxy
; serves it, and remembers which; its unregistration removes only those. The
; installer and uninstaller therefore call it unconditionally.
!macro Regsvr32ProxyX86 switches log
!ifdef PROXY_DLL_X86
  ClearErrors
  ExecWait '"${REGSVR32_X86}" /s ${switches} "${PROXY_X86_DIR}\${PROXY}"' $0
  ${If} ${Errors}
  ${OrIf} $0 != 0
    !insertmacro ${log} "The 32-bit OPC proxy/stub: regsvr32 ${switches} failed ($0)"
  ${EndIf}
!endif
!macroend

; A note of what the installation did: shown, and kept in Install.log beside
; the program, since a silent installation shows nothing.
!macro InstallLog text
  DetailPrint "${text}"
  ClearErrors
  FileOpen $9 "$INSTDIR\Install.log" a
  ${IfNot} ${Errors}
    FileSeek $9 0 END
    FileWrite $9 "${text}$\r$\n"
    FileClose $9
  ${EndIf}
!macroend

!macro DetailLine text
  DetailPrint "${text}"
!macroend

; Runs `program` /Close: every running copy of the program is asked to
; close and ended when it has not after `seconds`. $0 is then 0 when none
; runs any more, 2 when one had to be ended, anything else when one still
; runs. A program that cannot be run leaves the main window to tell whether
; one runs. `log` is the macro that says what happened.
!macro CloseRunningProgram program seconds log
  ClearErrors
  ExecWait '"${program}" /Close ${seconds}' $0
  ${If} ${Errors}
    FindWindow $0 "${FRAME_CLASS}"
    ${If} $0 != 0
      StrCpy $0 1
    ${EndIf}
  ${EndIf}
  ${If} $0 == 2
    !insertmacro ${log} "${PRODUCT} did not close when asked and was ended"
  ${EndIf}
!macroend

; Before anything is changed: stops with exit code 2 when a running copy
; cannot be ended.
!macro StopUnlessProgramEnded program seconds again log
  !insertmacro CloseRunningProgram "${program}" ${seconds} ${log}
  ${If} $0 != 0
  ${AndIf} $0 != 2
    !insertmacro ${log} "${PRODUCT} is running and could not be ended ($0): nothing was changed"
    MessageBox MB_OK|MB_ICONSTOP "${PRODUCT} is running and could not be ended. Nothing was changed: close it, then run the ${again} again." /SD IDOK
    SetErrorLevel 2
    Quit
  ${EndIf}
!macroend

; The uninstaller's log: each line is shown and kept in the temporary folder
; (the program's folder goes), after the seconds since the start, so that a
; slow step shows.
Var UnStart
Var UnElapsed
Var UnMs
Var UnLogFile
!macro UnLog text
  DetailPrint "${text}"
  System::Call 'kernel32::GetTickCount() i .s'
  Pop $UnElapsed
  IntOp $UnElapsed $UnElapsed - $UnStart
  IntOp $UnMs $UnElapsed % 1000
  IntOp $UnElapsed $UnElapsed / 1000
  IntFmt $UnMs "%03d" $UnMs
  ClearErrors
  FileOpen $UnLogFile "$TEMP\${UNINSTALL_LOG}" a
  ${IfNot} ${Errors}
    FileSeek $UnLogFile 0 END
    FileWrite $UnLogFile "[$UnElapsed.$UnMs s] ${text}$\r$\n"
    FileClose $UnLogFile
  ${EndIf}
!macroend

; Deletes an installed file. One that another program still has loaded
; (the proxy/stub in an OPC client, the program itself) is moved aside,
; within the installation's folder, and deleted when Windows restarts: an
; installation before then gets a file of its own, which the restart leaves
; alone. `log` says `said` then.
Var Aside
Var Pending
!macro RemoveInstalledFile file log said
  Delete "${file}"
  ${If} ${FileExists} "${file}"
    GetTempFileName $Aside "$INSTDIR"
    Delete $Aside
    ClearErrors
    Rename "${file}" $Aside
    ${If} ${Errors}
      StrCpy $Aside "${file}"
    ${EndIf}
    Delete /REBOOTOK $Aside
    IntOp $Pending $Pending + 1
    !insertmacro ${log} "${said}"
  ${EndIf}
!macroend
!macro UnRemoveFile file name
  !insertmacro RemoveInstalledFile "${file}" UnLog "${name} is in use by another program: it is deleted when Windows restarts"
!macroend
!macro MakeWayFor file name
  !insertmacro RemoveInstalledFile "${file}" InstallLog "${name} was in use by another program: the new one is installed, the old one is deleted when Windows restarts"
!macroend

Section "-Program"
  SetShellVarContext all
  ; The installed sample's time before the program is closed: what that
  ; close saves is not a change of the user's.
  StrCpy $R8 "Sample.tvf"
  ${If} ${FileExists} "$INSTDIR\Sample.tvf"
    ${GetTime} "$INSTDIR\Sample.tvf" "MS" $0 $1 $2 $3 $4 $5 $6
    ReadRegStr $7 HKLM "${UNINSTALL_KEY}" "SampleTime"
    ${If} "$2$1$0$4$5$6" != $7
      StrCpy $R8 "Sample (new).tvf"
    ${EndIf}
  ${EndIf}
  ; Over an installed copy: its program, perhaps an older version without
  ; the /Close switch, is closed by this version's.
  ${If} ${FileExists} "$INSTDIR\${EXE}"
    InitPluginsDir
    File "/oname=$PLUGINSDIR\${EXE}" "${SERVER_EXE}"
    !insertmacro StopUnlessProgramEnded "$PLUGINSDIR\${EXE}" ${CLOSE_SECONDS} "setup" DetailLine
  ${EndIf}
  SetOutPath "$INSTDIR"
  Delete "$INSTDIR\Install.log"
  ; A file another program still has loaded would be kept as it is, the new
  ; one dropped without a word: it makes way.
  !insertmacro MakeWayFor "$INSTDIR\${PROXY}" "${PROXY}"
  !insertmacro MakeWayFor "$INSTDIR\${CLIENT}" "${CLIENT}"
  !insertmacro MakeWayFor "$INSTDIR\ToviExplorer.chm" "ToviExplorer.chm"
!ifdef PROXY_DLL_X86
  !insertmacro MakeWayFor "${PROXY_X86_DIR}\${PROXY}" "x86\${PROXY}"
!endif
  File "/oname=${EXE}" "${SERVER_EXE}"
  File "/oname=${PROXY}" "${PROXY_DLL}"
  File "/oname=${CLIENT}" "${CLIENT_EXE}"
  ; A sample the user changed since it was installed is the user's.
  File "/oname=$R8" "${SAMPLE}"
  ${If} $R8 != "Sample.tvf"
    !insertmacro InstallLog "Sample.tvf was changed since it was installed and is kept as it is; the new sample is $R8"
  ${EndIf}
!ifdef HELP_CHM
  File "/oname=ToviExplorer.chm" "${HELP_CHM}"
!endif
!ifdef PROXY_DLL_X86
  SetOutPath "${PROXY_X86_DIR}"
  File "/oname=${PROXY}" "${PROXY_DLL_X86}"
  SetOutPath "$INSTDIR"
!endif

  ClearErrors
  RegDLL "$INSTDIR\${PROXY}"
  ${If} ${Errors}
    DetailPrint "The OPC proxy/stub could not be registered"
  ${EndIf}
  !insertmacro Regsvr32ProxyX86 "" DetailLine

  ExecWait '"$INSTDIR\${EXE}" /RegServer' $0
  ${If} $0 != 0
    DetailPrint "Registering the OPC server gave exit code $0"
    SetErrorLevel 3
  ${EndIf}
  ; A first installation serves the sample configuration; a configuration
  ; the user has already chosen stays.
  ReadRegStr $0 HKLM "${SETTINGS_KEY}" "Last Used File"
  ${If} $0 == ""
  ${OrIfNot} ${FileExists} "$0"
    WriteRegStr HKLM "${SETTINGS_KEY}" "Last Used File" "$INSTDIR\Sample.tvf"
  ${EndIf}

  CreateShortcut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\${EXE}" "" "$INSTDIR\${EXE}" 0

  WriteUninstaller "$INSTDIR\Uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" '"$INSTDIR\${EXE}",0'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ; The sample as installed: the uninstaller keeps it once the user changed
  ; it. A kept one keeps the time of the sample it was.
  ${GetTime} "$INSTDIR\$R8" "MS" $0 $1 $2 $3 $4 $5 $6
  ${If} $R8 == "Sample.tvf"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "SampleTime" "$2$1$0$4$5$6"
  ${Else}
    WriteRegStr HKLM "${UNINSTALL_KEY}" "NewSampleTime" "$2$1$0$4$5$6"
  ${EndIf}
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  IntFmt $0 "0x%08X" $0
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

; Empty: its selection is what counts (the components page, or /REMOVEUSERDATA).
Section /o "un.My configuration and event log files" SecUnUserData
SectionEnd

Section "un.Program" SecUnProgram
  SectionIn RO
  SetShellVarContext all
  System::Call 'kernel32::GetTickCount() i .s'
  Pop $UnStart
  StrCpy $Pending 0
  ${GetTime} "" "L" $1 $2 $3 $4 $5 $6 $7
  Delete "$TEMP\${UNINSTALL_LOG}"
  !insertmacro UnLog "${PRODUCT} ${VERSION} uninstalled from $INSTDIR on $3-$2-$1 $5:$6:$7"
  ; The sample's time before the program is closed: what that close saves
  ; is not a change of the user's.
  ${GetTime} "$INSTDIR\Sample.tvf" "MS" $1 $2 $3 $4 $5 $6 $7
  StrCpy $R9 "$3$2$1$5$6$7"
  !insertmacro UnLog "Closing the running program (/Close ${UN_CLOSE_SECONDS})"
  !insertmacro StopUnlessProgramEnded "$INSTDIR\${EXE}" ${UN_CLOSE_SECONDS} "uninstaller" UnLog
  ; The program's unregistration deletes the configuration and the event log
  ; it last used. They are the user's: unless asked, it is pointed at
  ; stand-ins that it may delete instead.
  ${IfNot} ${SectionIsSelected} ${SecUnUserData}
    InitPluginsDir
    FileOpen $0 "$PLUGINSDIR\Kept.tvf" w
    FileClose $0
    FileOpen $0 "$PLUGINSDIR\Kept Event Log.txt" w
    FileClose $0
    WriteRegStr HKLM "${SETTINGS_KEY}" "Last Used File" "$PLUGINSDIR\Kept.tvf"
    WriteRegStr HKLM "${SETTINGS_KEY}" "Event Log File" "$PLUGINSDIR\Kept Event Log.txt"
  ${EndIf}
  !insertmacro UnLog "Removing the registration (/UnregServer)"
  ExecWait '"$INSTDIR\${EXE}" /UnregServer' $0
  ; A client may have started the server again meanwhile; now it cannot.
  !insertmacro UnLog "Closing a copy a client started meanwhile (/Close ${UN_RECLOSE_SECONDS})"
  !insertmacro CloseRunningProgram "$INSTDIR\${EXE}" ${UN_RECLOSE_SECONDS} UnLog
  ${If} $0 != 0
  ${AndIf} $0 != 2
    !insertmacro UnLog "${PRODUCT} was started again and could not be ended ($0)"
    SetErrorLevel 2
  ${EndIf}

  !insertmacro UnLog "Unregistering the OPC proxy/stubs"
  UnRegDLL "$INSTDIR\${PROXY}"
  !insertmacro Regsvr32ProxyX86 "/u" UnLog
  !insertmacro UnLog "Removing the files"

  ; The sample goes with the program unless the user has changed it; so
  ; does a new sample installed beside a changed one.
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "SampleTime"
  ${If} $0 == $R9
  ${OrIf} ${SectionIsSelected} ${SecUnUserData}
    Delete "$INSTDIR\Sample.tvf"
  ${EndIf}
  ${GetTime} "$INSTDIR\Sample (new).tvf" "MS" $1 $2 $3 $4 $5 $6 $7
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "NewSampleTime"
  ${If} $0 == "$3$2$1$5$6$7"
  ${OrIf} ${SectionIsSelected} ${SecUnUserData}
    Delete "$INSTDIR\Sample (new).tvf"
  ${EndIf}
  Delete "$INSTDIR\Install.log"
  !insertmacro UnRemoveFile "$INSTDIR\${EXE}" "${EXE}"
  !insertmacro UnRemoveFile "$INSTDIR\${PROXY}" "${PROXY}"
!ifdef PROXY_DLL_X86
  !insertmacro UnRemoveFile "${PROXY_X86_DIR}\${PROXY}" "x86\${PROXY}"
  RMDir "${PROXY_X86_DIR}"
!endif
  !insertmacro UnRemoveFile "$INSTDIR\${CLIENT}" "${CLIENT}"
  !insertmacro UnRemoveFile "$INSTDIR\ToviExplorer.chm" "ToviExplorer.chm"
  Delete "$INSTDIR\Uninstall.exe"
  ; Files an installation moved aside: those still loaded go at the restart already.
  Delete "$INSTDIR\ns*.tmp"
  ${If} ${FileExists} "$INSTDIR\ns*.tmp"
    IntOp $Pending $Pending + 1
  ${EndIf}
  Delete "$SMPROGRAMS\${PRODUCT}.lnk"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  ; Only when empty: files of the user's stay. One that empties at the
  ; restart goes then.
  RMDir "$INSTDIR"
  ${If} $Pending != 0
  ${AndIf} ${FileExists} "$INSTDIR\*.*"
    RMDir /REBOOTOK "$INSTDIR"
    RMDir /REBOOTOK "$INSTDIR\.."
    !insertmacro UnLog "The folder $INSTDIR goes when Windows restarts, once empty"
  ${Else}
    RMDir "$INSTDIR\.."
  ${EndIf}
  !insertmacro UnLog "Done"
SectionEnd


Function un.onInit
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/REMOVEUSERDATA" $1
  ${IfNot} ${Errors}
    !insertmacro SelectSection ${SecUnUserData}
  ${EndIf}
FunctionEnd
