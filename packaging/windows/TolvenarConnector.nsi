; Setup of the Tolvenar Connector for 64-bit Windows: installs the program,
; writes the first TolvenarConnector.ini (or keeps the one there), narrows its
; access list, registers and starts the service, and ends with "-check".
;
; makensis -DTC_VERSION=0.1.0 -DTC_EXE=<TolvenarConnector.exe>
;          -DTC_README=<README.md> -DTC_LEIAME=<LEIAME.txt> -DTC_OUTFILE=<setup.exe>
;          TolvenarConnector.nsi
;
; Exit codes of the setup: 0 installed (also when the closing check reports a
; problem: it is in the log); 1 cancelled by the operator; 2 parameters or
; answers refused, nothing changed; 3 installation failed (files, access list
; of the INI, service registration or start).
; Exit codes of the uninstaller (run in place, "_?="): 0 removed; 3 failed.

Unicode true
Target amd64-unicode
ManifestSupportedOS all
ManifestDPIAware true
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!ifndef TC_VERSION | TC_EXE | TC_README | TC_LEIAME | TC_OUTFILE
  !error "TC_VERSION, TC_EXE, TC_README, TC_LEIAME and TC_OUTFILE must be defined"
!endif

!define PRODUCT "T${U+00F3}lvenar Connector"
!define SERVICE "TolvenarConnector"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\TolvenarConnector"
!define INI "TolvenarConnector.ini"
!define SETUP_LOG "TolvenarConnector-setup.log"
!define UNINSTALLER "Desinstalar.exe"
!define DEFAULT_API "http://127.0.0.1:3001"

!define EXIT_REFUSED 2
!define EXIT_FAILED 3

Name "${PRODUCT} ${TC_VERSION}"
OutFile "${TC_OUTFILE}"
InstallDir "$PROGRAMFILES64\Tolvenar\Connector"
ShowInstDetails show
ShowUninstDetails show
BrandingText "${PRODUCT} ${TC_VERSION}"

VIProductVersion "${TC_VERSION}.0"
VIAddVersionKey /LANG=1046 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1046 "ProductVersion" "${TC_VERSION}"
VIAddVersionKey /LANG=1046 "FileVersion" "${TC_VERSION}"
VIAddVersionKey /LANG=1046 "FileDescription" "Instalacao do ${PRODUCT}"
VIAddVersionKey /LANG=1046 "CompanyName" "Tolvenar"
VIAddVersionKey /LANG=1046 "LegalCopyright" "Tolvenar"

!include MUI2.nsh
!include LogicLib.nsh
!include nsDialogs.nsh
!include FileFunc.nsh
!include x64.nsh

; Answers, from the parameters or the configuration page.
Var Server
Var Cnpj
Var Code
Var LocalApi
Var Homologation   ; 1 allows an http:// server
Var Purge          ; uninstaller: 1 removes the INI and the logs too
Var ConfigGiven    ; 1 when any configuration parameter was given
Var KeepIni        ; 1 when an INI is there already: it is kept untouched
Var LogFile        ; handle of the setup log, "" while there is none
Var Failure        ; text of the first failure of the installation
Var Dialog
Var ServerBox
Var CnpjBox
Var CodeBox
Var ApiBox
Var HomologationBox

!define MUI_ABORTWARNING
!define MUI_WELCOMEPAGE_TEXT "Este assistente instala o ${PRODUCT} ${TC_VERSION} como servico do Windows em $INSTDIR.$\r$\n$\r$\nTenha em maos o endereco do servidor de conexao, o CNPJ da empresa e o codigo de vinculacao (uso unico).$\r$\n$\r$\nUma instalacao existente e atualizada: a configuracao (TolvenarConnector.ini) e os registros sao mantidos."
!insertmacro MUI_PAGE_WELCOME
Page custom ConfigPage ConfigPageLeave
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_TEXT "O ${PRODUCT} foi instalado e o servico iniciado.$\r$\n$\r$\nO resultado do diagnostico (TolvenarConnector.exe -check) esta nos detalhes da instalacao e em $INSTDIR\${SETUP_LOG}."
; The operator's guide, offered on the last page and kept in the Start menu.
!define MUI_FINISHPAGE_SHOWREADME "$INSTDIR\LEIAME.txt"
!define MUI_FINISHPAGE_SHOWREADME_TEXT "Abrir o guia de operacao (LEIAME.txt)"
!define MUI_FINISHPAGE_SHOWREADME_NOTCHECKED
!insertmacro MUI_PAGE_FINISH

!define MUI_COMPONENTSPAGE_TEXT_TOP "A configuracao (TolvenarConnector.ini, com a vinculacao deste computador) e os registros (TolvenarConnector*.log) sao mantidos, salvo se a segunda opcao for marcada."
!insertmacro MUI_UNPAGE_COMPONENTS
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "PortugueseBR"

; ---------------------------------------------------------------------------
; Output: the details list, the setup log once it is open and, when silent,
; standard output (a deployment tool that captures it sees every line).

!macro Say text
  Push `${text}`
  !ifdef __UNINSTALL__
    Call un.Say
  !else
    Call Say
  !endif
!macroend

!macro SayFunction prefix
Function ${prefix}Say
  Exch $0
  Push $1
  Push $2
  DetailPrint $0
  ${If} $LogFile != ""
    FileWrite $LogFile "$0$\r$\n"
  ${EndIf}
  ${If} ${Silent}
    System::Call 'kernel32::GetStdHandle(i -11) p .r1'
    ${If} $1 P<> 0
    ${AndIf} $1 P<> -1
      ; Through a register: the text may hold double quotes.
      StrCpy $0 "$0$\r$\n"
      StrLen $2 $0
      System::Call 'kernel32::WriteFile(p r1, m r0, i r2, *i .r2, p 0)'
    ${EndIf}
  ${EndIf}
  Pop $2
  Pop $1
  Pop $0
FunctionEnd
!macroend
!insertmacro SayFunction ""
!insertmacro SayFunction "un."

; Shows `text` (a message box, skipped when silent), says it and sets the exit
; code; the caller aborts.
!macro Fail code text
  !insertmacro Say `ERRO: ${text}`
  MessageBox MB_OK|MB_ICONSTOP `${text}` /SD IDOK
  SetErrorLevel ${code}
!macroend

; ---------------------------------------------------------------------------
; Command line: Windows' own splitting (CommandLineToArgvW), so that quoted
; values and URLs full of "/" come through whole. Names ignore letter case.

!macro ReadParametersFunction prefix
Function ${prefix}ReadParameters
  ; Out: $R0 "" or the text of a refusal.
  StrCpy $R0 ""
  ; $CMDLINE rather than the process's: NSIS has cut "/D=" and "_?=" off it.
  StrCpy $2 $CMDLINE
  System::Call 'shell32::CommandLineToArgvW(w r2, *i .r1) p .r0'
  ${If} $0 P= 0
    StrCpy $R0 "Linha de comando ilegivel."
    Return
  ${EndIf}
  ${For} $2 1 $1
    ${If} $2 == $1
      ${Break}
    ${EndIf}
    IntOp $3 $2 * 8
    IntPtrOp $3 $0 + $3
    System::Call '*$3(p .r4)'
    System::Call 'kernel32::lstrcpynW(w .r5, p r4, i ${NSIS_MAX_STRLEN})'
    ; Split "/NAME=value".
    StrCpy $6 $5 "" 1  ; without the leading "/"
    StrCpy $7 ""       ; name
    StrCpy $8 ""       ; value
    StrCpy $9 0
    ${Do}
      StrCpy $R1 $6 1 $9
      ${If} $R1 == ""
        StrCpy $7 $6
        ${Break}
      ${ElseIf} $R1 == "="
        StrCpy $7 $6 $9
        IntOp $9 $9 + 1
        StrCpy $8 $6 "" $9
        StrCpy $7 "$7="
        ${Break}
      ${EndIf}
      IntOp $9 $9 + 1
    ${Loop}
    StrCpy $R1 $5 1
    ${If} $R1 != "/"
      StrCpy $R0 "Parametro desconhecido: $5"
    ${ElseIf} $7 == "S"
    ${OrIf} $7 == "NCRC"
      ; NSIS's own
    ${ElseIf} $7 == "SERVER="
      StrCpy $Server $8
      StrCpy $ConfigGiven 1
    ${ElseIf} $7 == "CNPJ="
      StrCpy $Cnpj $8
      StrCpy $ConfigGiven 1
    ${ElseIf} $7 == "CODE="
      StrCpy $Code $8
      StrCpy $ConfigGiven 1
    ${ElseIf} $7 == "APILOCAL="
      StrCpy $LocalApi $8
      StrCpy $ConfigGiven 1
    ${ElseIf} $7 == "HOMOLOGACAO"
      StrCpy $Homologation 1
      StrCpy $ConfigGiven 1
    ${ElseIf} $7 == "PURGE"
      StrCpy $Purge 1
    ${Else}
      StrCpy $R0 "Parametro desconhecido: $5"
    ${EndIf}
    ${If} $R0 != ""
      ${Break}
    ${EndIf}
  ${Next}
  System::Call 'kernel32::LocalFree(p r0)'
FunctionEnd
!macroend
!insertmacro ReadParametersFunction ""
!insertmacro ReadParametersFunction "un."

; ---------------------------------------------------------------------------
; Validation of the answers. Out: $R0 "" or the text of a refusal.

; Whether `text` starts with `prefix`, ignoring case: $R1 1 or 0.
!macro StartsWith text prefix
  StrLen $R2 `${prefix}`
  StrCpy $R1 `${text}` $R2
  ${If} $R1 == `${prefix}`
    StrLen $R1 `${text}`
    ${If} $R1 > $R2
      StrCpy $R1 1
    ${Else}
      StrCpy $R1 0
    ${EndIf}
  ${Else}
    StrCpy $R1 0
  ${EndIf}
!macroend

Function CheckAnswers
  StrCpy $R0 ""
  ${If} $Server == ""
    StrCpy $R0 "Informe o endereco do servidor de conexao (/SERVER=https://...)."
    Return
  ${EndIf}
  !insertmacro StartsWith $Server "https://"
  ${If} $R1 == 0
    !insertmacro StartsWith $Server "http://"
    ${If} $R1 == 0
      StrCpy $R0 "Endereco do servidor de conexao invalido: $Server (use https://...)."
      Return
    ${ElseIf} $Homologation != 1
      StrCpy $R0 "O servidor de conexao deve usar https://. Um endereco http:// so e aceito em homologacao (/HOMOLOGACAO), pois trafega o segredo do Connector sem criptografia: $Server"
      Return
    ${EndIf}
  ${EndIf}
  ; CNPJ: 14 digits, written with or without its dots, slash and hyphen.
  StrCpy $R3 0  ; digits
  StrCpy $R4 0  ; position
  ${Do}
    StrCpy $R5 $Cnpj 1 $R4
    ${If} $R5 == ""
      ${Break}
    ${EndIf}
    ${If} $R5 S>= "0"
    ${AndIf} $R5 S<= "9"
      IntOp $R3 $R3 + 1
    ${ElseIf} $R5 != "."
    ${AndIf} $R5 != "/"
    ${AndIf} $R5 != "-"
      StrCpy $R3 -1
      ${Break}
    ${EndIf}
    IntOp $R4 $R4 + 1
  ${Loop}
  ${If} $R3 != 14
    StrCpy $R0 "CNPJ invalido: '$Cnpj' (14 digitos, com ou sem pontuacao)."
    Return
  ${EndIf}
  ${If} $Code == ""
    StrCpy $R0 "Informe o codigo de vinculacao (/CODE=...)."
    Return
  ${EndIf}
  ${If} $LocalApi == ""
    StrCpy $LocalApi "${DEFAULT_API}"
  ${EndIf}
  !insertmacro StartsWith $LocalApi "http://"
  ${If} $R1 == 0
    !insertmacro StartsWith $LocalApi "https://"
    ${If} $R1 == 0
      StrCpy $R0 "Endereco da API local invalido: $LocalApi (use http://... ou https://...)."
      Return
    ${EndIf}
  ${EndIf}
FunctionEnd

; ---------------------------------------------------------------------------
; The service, through the service control manager.

; Stops the service (if installed and running) and waits until it has stopped
; and its process has ended, so that the executable can be replaced.
; Out: $R0 "" or the text of a failure.
!macro StopServiceFunction prefix
Function ${prefix}StopService
  StrCpy $R0 ""
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 0x0001) p .r0'
  ${If} $0 P= 0
    StrCpy $R0 "Sem acesso ao gerenciador de servicos."
    Return
  ${EndIf}
  ; SERVICE_QUERY_STATUS | SERVICE_STOP
  System::Call 'advapi32::OpenServiceW(p r0, w "${SERVICE}", i 0x0024) p .r1'
  ${If} $1 P<> 0
    System::Call '*(&i36) p .r2'  ; SERVICE_STATUS_PROCESS
    System::Call 'advapi32::QueryServiceStatusEx(p r1, i 0, p r2, i 36, *i .r3) i .r4'
    System::Call '*$2(i, i .r5, i, i, i, i, i, i .r6)'
    ${If} $5 != 1
      !insertmacro Say "Parando o servico ${SERVICE}..."
      ${If} $5 != 3
        System::Call 'advapi32::ControlService(p r1, i 1, p r2) i .r4'
      ${EndIf}
      ; A worker may be in the middle of an exchange: allow two minutes.
      ${For} $7 1 240
        System::Call 'advapi32::QueryServiceStatusEx(p r1, i 0, p r2, i 36, *i .r3) i .r4'
        System::Call '*$2(i, i .r5)'
        ${If} $5 == 1
          ${Break}
        ${EndIf}
        Sleep 500
      ${Next}
      ${If} $5 != 1
        StrCpy $R0 "O servico ${SERVICE} nao parou em dois minutos."
      ${ElseIf} $6 != 0
        ; The service manager says stopped a little before the process ends.
        System::Call 'kernel32::OpenProcess(i 0x00100000, i 0, i r6) p .r8'
        ${If} $8 P<> 0
          System::Call 'kernel32::WaitForSingleObject(p r8, i 60000) i .r9'
          System::Call 'kernel32::CloseHandle(p r8)'
        ${EndIf}
      ${EndIf}
      ${If} $R0 == ""
        !insertmacro Say "Servico parado."
      ${EndIf}
    ${EndIf}
    System::Free $2
    System::Call 'advapi32::CloseServiceHandle(p r1)'
  ${EndIf}
  System::Call 'advapi32::CloseServiceHandle(p r0)'
FunctionEnd
!macroend
!insertmacro StopServiceFunction ""
!insertmacro StopServiceFunction "un."

; Whether the service is registered: $R0 1 or 0.
Function ServiceExists
  StrCpy $R0 0
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 0x0001) p .r0'
  ${If} $0 P<> 0
    System::Call 'advapi32::OpenServiceW(p r0, w "${SERVICE}", i 0x0004) p .r1'
    ${If} $1 P<> 0
      StrCpy $R0 1
      System::Call 'advapi32::CloseServiceHandle(p r1)'
    ${EndIf}
    System::Call 'advapi32::CloseServiceHandle(p r0)'
  ${EndIf}
FunctionEnd

; Starts the service and waits until it runs or has stopped again (a start
; without a usable profile). Out: $R0 "" or the text of a failure.
Function StartService
  StrCpy $R0 ""
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 0x0001) p .r0'
  ${If} $0 P= 0
    StrCpy $R0 "Sem acesso ao gerenciador de servicos."
    Return
  ${EndIf}
  ; SERVICE_QUERY_STATUS | SERVICE_START
  System::Call 'advapi32::OpenServiceW(p r0, w "${SERVICE}", i 0x0014) p .r1'
  ${If} $1 P= 0
    StrCpy $R0 "O servico ${SERVICE} nao esta registrado."
  ${Else}
    System::Call 'advapi32::StartServiceW(p r1, i 0, p 0) i .r4 ?e'
    Pop $3
    ${If} $4 == 0
    ${AndIf} $3 != 1056  ; already running
      StrCpy $R0 "O servico ${SERVICE} nao iniciou (erro $3)."
    ${Else}
      System::Call '*(&i36) p .r2'
      ${For} $7 1 120
        System::Call 'advapi32::QueryServiceStatusEx(p r1, i 0, p r2, i 36, *i .r3) i .r4'
        System::Call '*$2(i, i .r5, i, i .r6, i .r8)'
        ${If} $5 == 4
        ${OrIf} $5 == 1
          ${Break}
        ${EndIf}
        Sleep 500
      ${Next}
      System::Free $2
      ${If} $5 == 1
        StrCpy $R0 "O servico ${SERVICE} parou logo apos iniciar (veja o Visualizador de Eventos e TolvenarConnector.log; TolvenarConnector.ini tem uma conexao utilizavel?)."
      ${ElseIf} $5 != 4
        StrCpy $R0 "O servico ${SERVICE} nao chegou a executar em um minuto."
      ${EndIf}
    ${EndIf}
    System::Call 'advapi32::CloseServiceHandle(p r1)'
  ${EndIf}
  System::Call 'advapi32::CloseServiceHandle(p r0)'
FunctionEnd

; Runs the program with `args`; its output is said line by line. It goes
; through a file: nsExec's own capture stops at NSIS_MAX_STRLEN characters,
; and the check of several profiles says more.
; Out: $R0 its exit code ("error" when it could not run).
!macro RunProgramFunction prefix
Function ${prefix}RunProgram
  Exch $0
  Push $1
  Push $2
  InitPluginsDir
  nsExec::Exec '"$SYSDIR\cmd.exe" /c ""$INSTDIR\TolvenarConnector.exe" $0 > "$PLUGINSDIR\output.txt" 2>&1"'
  Pop $R0
  ClearErrors
  FileOpen $1 "$PLUGINSDIR\output.txt" r
  ${IfNot} ${Errors}
    ${Do}
      FileRead $1 $0
      ${If} ${Errors}
        ${Break}
      ${EndIf}
      ${Do}
        StrCpy $2 $0 1 -1
        ${If} $2 != "$\r"
        ${AndIf} $2 != "$\n"
          ${Break}
        ${EndIf}
        StrCpy $0 $0 -1
      ${Loop}
      !insertmacro Say "  $0"
    ${Loop}
    FileClose $1
  ${EndIf}
  Delete "$PLUGINSDIR\output.txt"
  Pop $2
  Pop $1
  Pop $0
FunctionEnd
!macroend
!insertmacro RunProgramFunction ""
!insertmacro RunProgramFunction "un."

; ---------------------------------------------------------------------------
; The access list of the INI: full control for SYSTEM and Administrators,
; nothing inherited, nobody else (it holds the protected secret).
; Out: $R0 "" or the text of a failure.
Function NarrowIniAccess
  StrCpy $R0 ""
  System::Call 'advapi32::ConvertStringSecurityDescriptorToSecurityDescriptorW(w "D:P(A;;FA;;;SY)(A;;FA;;;BA)", i 1, *p .r0, p 0) i .r1 ?e'
  Pop $2
  ${If} $1 == 0
    StrCpy $R0 "descritor de seguranca invalido (erro $2)"
    Return
  ${EndIf}
  System::Call 'advapi32::GetSecurityDescriptorDacl(p r0, *i .r3, *p .r4, *i .r5) i .r1'
  ; DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION
  System::Call 'advapi32::SetNamedSecurityInfoW(w "$INSTDIR\${INI}", i 1, i 0x80000004, p 0, p 0, p r4, p 0) i .r1'
  System::Call 'kernel32::LocalFree(p r0)'
  ${If} $1 != 0
    StrCpy $R0 "erro $1"
    Return
  ${EndIf}
  ; Read back what the file now has, for the log.
  System::Call 'advapi32::GetNamedSecurityInfoW(w "$INSTDIR\${INI}", i 1, i 4, p 0, p 0, p 0, p 0, *p .r0) i .r1'
  ${If} $1 != 0
    StrCpy $R0 "releitura falhou (erro $1)"
    Return
  ${EndIf}
  System::Call 'advapi32::ConvertSecurityDescriptorToStringSecurityDescriptorW(p r0, i 1, i 4, *p .r2, p 0) i .r1'
  ${If} $1 != 0
    System::Call 'kernel32::lstrcpynW(w .r3, p r2, i ${NSIS_MAX_STRLEN})'
    System::Call 'kernel32::LocalFree(p r2)'
    !insertmacro Say "Permissoes de ${INI}: $3"
  ${EndIf}
  System::Call 'kernel32::LocalFree(p r0)'
FunctionEnd

; ---------------------------------------------------------------------------
; Installer

Function .onInit
  SetRegView 64
  ${IfNot} ${RunningX64}
    !insertmacro Fail ${EXIT_REFUSED} "Este programa requer o Windows de 64 bits."
    Abort
  ${EndIf}
  ; An earlier installation decides the folder.
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $0 != ""
    StrCpy $INSTDIR $0
  ${EndIf}
  StrCpy $Homologation 0
  StrCpy $ConfigGiven 0
  Call ReadParameters
  ${If} $R0 != ""
    !insertmacro Fail ${EXIT_REFUSED} "$R0 Parametros: /SERVER=url /CNPJ=cnpj /CODE=codigo [/APILOCAL=url] [/HOMOLOGACAO]"
    Abort
  ${EndIf}
  ${If} ${FileExists} "$INSTDIR\${INI}"
    StrCpy $KeepIni 1
  ${Else}
    StrCpy $KeepIni 0
  ${EndIf}
  ${If} $LocalApi == ""
    StrCpy $LocalApi "${DEFAULT_API}"
  ${EndIf}
  ${If} ${Silent}
  ${AndIf} $KeepIni == 0
    Call CheckAnswers
    ${If} $R0 != ""
      !insertmacro Fail ${EXIT_REFUSED} $R0
      Abort
    ${EndIf}
  ${EndIf}
FunctionEnd

Function ConfigPage
  ; An existing configuration is never rewritten: no questions then.
  ${If} $KeepIni == 1
    Abort
  ${EndIf}
  !insertmacro MUI_HEADER_TEXT "Configuracao da conexao" "Dados fornecidos pelo servidor de conexao para este computador."
  nsDialogs::Create 1018
  Pop $Dialog
  ${NSD_CreateLabel} 0 0 100% 10u "Endereco do servidor de conexao (https://...):"
  ${NSD_CreateText} 0 11u 100% 12u $Server
  Pop $ServerBox
  ${NSD_CreateLabel} 0 27u 100% 10u "CNPJ da empresa:"
  ${NSD_CreateText} 0 38u 100% 12u $Cnpj
  Pop $CnpjBox
  ${NSD_CreateLabel} 0 54u 100% 10u "Codigo de vinculacao (uso unico):"
  ${NSD_CreateText} 0 65u 100% 12u $Code
  Pop $CodeBox
  ${NSD_CreateLabel} 0 81u 100% 10u "Endereco da API local:"
  ${NSD_CreateText} 0 92u 100% 12u $LocalApi
  Pop $ApiBox
  ${NSD_CreateCheckbox} 0 110u 100% 20u "Homologacao: aceitar servidor http:// (sem criptografia; nunca em producao)"
  Pop $HomologationBox
  ${If} $Homologation == 1
    ${NSD_Check} $HomologationBox
  ${EndIf}
  nsDialogs::Show
FunctionEnd

Function ConfigPageLeave
  ${NSD_GetText} $ServerBox $Server
  ${NSD_GetText} $CnpjBox $Cnpj
  ${NSD_GetText} $CodeBox $Code
  ${NSD_GetText} $ApiBox $LocalApi
  ${NSD_GetState} $HomologationBox $0
  ${If} $0 == ${BST_CHECKED}
    StrCpy $Homologation 1
  ${Else}
    StrCpy $Homologation 0
  ${EndIf}
  Call CheckAnswers
  ${If} $R0 != ""
    MessageBox MB_OK|MB_ICONEXCLAMATION $R0
    Abort
  ${EndIf}
FunctionEnd

Section "-Instalar"
  SetRegView 64
  StrCpy $Failure ""
  CreateDirectory "$INSTDIR"
  FileOpen $LogFile "$INSTDIR\${SETUP_LOG}" w
  ${If} ${Errors}
    StrCpy $LogFile ""
  ${EndIf}
  ${GetTime} "" "L" $0 $1 $2 $3 $4 $5 $6
  !insertmacro Say "Tolvenar Connector ${TC_VERSION}: instalacao em $INSTDIR ($2-$1-$0 $4:$5:$6)"

  Call StopService
  ${If} $R0 != ""
    !insertmacro Fail ${EXIT_FAILED} $R0
    Abort
  ${EndIf}

  ; The new executable goes in beside the old one and takes its name once
  ; the old one is free.
  SetOutPath "$INSTDIR"
  SetOverwrite on
  File "/oname=TolvenarConnector.exe.new" "${TC_EXE}"
  ${For} $0 1 60
    ClearErrors
    Delete "$INSTDIR\TolvenarConnector.exe"
    Rename "$INSTDIR\TolvenarConnector.exe.new" "$INSTDIR\TolvenarConnector.exe"
    ${IfNot} ${Errors}
      ${Break}
    ${EndIf}
    Sleep 500
  ${Next}
  ${If} ${FileExists} "$INSTDIR\TolvenarConnector.exe.new"
    Delete "$INSTDIR\TolvenarConnector.exe.new"
    !insertmacro Fail ${EXIT_FAILED} "Nao foi possivel substituir $INSTDIR\TolvenarConnector.exe (em uso?)."
    Abort
  ${EndIf}
  File "/oname=README.txt" "${TC_README}"
  File "/oname=LEIAME.txt" "${TC_LEIAME}"
  SetShellVarContext all
  CreateDirectory "$SMPROGRAMS\${PRODUCT}"
  CreateShortCut "$SMPROGRAMS\${PRODUCT}\Guia de operacao (LEIAME).lnk" "$INSTDIR\LEIAME.txt"
  WriteUninstaller "$INSTDIR\${UNINSTALLER}"
  !insertmacro Say "Programa instalado: $INSTDIR\TolvenarConnector.exe"

  ${If} $KeepIni == 1
    !insertmacro Say "${INI} existente mantido sem alteracao (a vinculacao fica nele)."
    ${If} $ConfigGiven == 1
      !insertmacro Say "Os parametros de configuracao foram ignorados. Para configurar de novo, desinstale com /PURGE (ou edite o arquivo) e instale outra vez."
    ${EndIf}
  ${Else}
    ClearErrors
    FileOpen $0 "$INSTDIR\${INI}" w
    ${If} ${Errors}
      !insertmacro Fail ${EXIT_FAILED} "Nao foi possivel criar $INSTDIR\${INI}."
      Abort
    ${EndIf}
    FileWrite $0 "[Connector]$\r$\n"
    FileWrite $0 "Servidor=$Server$\r$\n"
    FileWrite $0 "CNPJ=$Cnpj$\r$\n"
    FileWrite $0 "CodigoVinculacao=$Code$\r$\n"
    FileWrite $0 "APILocal=$LocalApi$\r$\n"
    ${If} $Homologation == 1
      FileWrite $0 "PermitirHTTPInseguro=1$\r$\n"
    ${EndIf}
    FileClose $0
    !insertmacro Say "${INI} criado: servidor $Server, CNPJ $Cnpj, API local $LocalApi."
    ${If} $Homologation == 1
      !insertmacro Say "Homologacao: servidor http:// permitido (PermitirHTTPInseguro=1)."
    ${EndIf}
  ${EndIf}
  Call NarrowIniAccess
  ${If} $R0 != ""
    !insertmacro Fail ${EXIT_FAILED} "Nao foi possivel restringir as permissoes de $INSTDIR\${INI} a Administradores e SYSTEM: $R0"
    Abort
  ${EndIf}

  ; Apps & features
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${TC_VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Tolvenar"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\TolvenarConnector.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER}"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER}" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0

  ; The service: registered by the program itself, kept when it is there.
  Call ServiceExists
  ${If} $R0 == 1
    !insertmacro Say "Servico ${SERVICE} ja registrado."
  ${Else}
    !insertmacro Say "Registrando o servico ${SERVICE}..."
    Push "-install -silent"
    Call RunProgram
    ${If} $R0 != 0
      !insertmacro Fail ${EXIT_FAILED} "Falha ao registrar o servico ${SERVICE} (TolvenarConnector.exe -install -silent terminou com $R0)."
      Abort
    ${EndIf}
  ${EndIf}
  Call StartService
  ${If} $R0 != ""
    !insertmacro Fail ${EXIT_FAILED} $R0
    Abort
  ${EndIf}
  !insertmacro Say "Servico ${SERVICE} em execucao."

  ; The diagnosis: shown and logged; its result does not change the exit code.
  !insertmacro Say "Diagnostico (TolvenarConnector.exe -check):"
  Push "-check"
  Call RunProgram
  ${If} $R0 == 0
    !insertmacro Say "Diagnostico: tudo certo (codigo 0)."
  ${Else}
    !insertmacro Say "Diagnostico: ha problemas (codigo $R0); a instalacao foi concluida, corrija ${INI} e reinicie o servico."
    MessageBox MB_OK|MB_ICONEXCLAMATION "O diagnostico encontrou problemas (detalhes na lista e em $INSTDIR\${SETUP_LOG}). A instalacao foi concluida." /SD IDOK
  ${EndIf}
  !insertmacro Say "Instalacao concluida."
SectionEnd

Function .onInstFailed
  ${If} $LogFile != ""
    FileClose $LogFile
    StrCpy $LogFile ""
  ${EndIf}
FunctionEnd

Function .onInstSuccess
  ${If} $LogFile != ""
    FileClose $LogFile
    StrCpy $LogFile ""
  ${EndIf}
FunctionEnd

; ---------------------------------------------------------------------------
; Uninstaller

Section "-un.Programa"
  SetRegView 64
  StrCpy $LogFile ""
  Call un.StopService
  ${If} $R0 != ""
    !insertmacro Say "ERRO: $R0"
    MessageBox MB_OK|MB_ICONSTOP $R0 /SD IDOK
    SetErrorLevel ${EXIT_FAILED}
    Abort
  ${EndIf}
  ${If} ${FileExists} "$INSTDIR\TolvenarConnector.exe"
    Push "-uninstall -silent"
    Call un.RunProgram
    ${If} $R0 != 0
      !insertmacro Say "ERRO: falha ao remover o servico ${SERVICE} (codigo $R0)."
      MessageBox MB_OK|MB_ICONSTOP "Falha ao remover o servico ${SERVICE} (codigo $R0)." /SD IDOK
      SetErrorLevel ${EXIT_FAILED}
      Abort
    ${EndIf}
    !insertmacro Say "Servico ${SERVICE} removido."
  ${EndIf}
  Delete "$INSTDIR\TolvenarConnector.exe"
  Delete "$INSTDIR\TolvenarConnector.exe.new"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\LEIAME.txt"
  SetShellVarContext all
  Delete "$SMPROGRAMS\${PRODUCT}\Guia de operacao (LEIAME).lnk"
  RMDir "$SMPROGRAMS\${PRODUCT}"
  Delete "$INSTDIR\${SETUP_LOG}"
  Delete "$INSTDIR\${UNINSTALLER}"
SectionEnd

Section /o "un.Remover tambem a configuracao e os registros" PurgeSection
  Delete "$INSTDIR\${INI}"
  Delete "$INSTDIR\TolvenarConnector.log"
  Delete "$INSTDIR\TolvenarConnector.?.log"
  !insertmacro Say "Configuracao (${INI}, com a vinculacao) e registros removidos."
SectionEnd

Section "-un.Fim"
  ${IfNot} ${SectionIsSelected} ${PurgeSection}
    !insertmacro Say "Mantidos em $INSTDIR: ${INI} (com a vinculacao) e TolvenarConnector*.log. Para remove-los, desinstale com /PURGE ou marque a opcao."
  ${EndIf}
  RMDir "$INSTDIR"
  RMDir "$INSTDIR\.."
  ; Last: its absence tells that the uninstallation has ended.
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd

Function un.onInit
  SetRegView 64
  StrCpy $Purge 0
  Call un.ReadParameters
  ${If} $R0 != ""
    MessageBox MB_OK|MB_ICONSTOP "$R0 Parametros: /S [/PURGE]" /SD IDOK
    SetErrorLevel ${EXIT_REFUSED}
    Abort
  ${EndIf}
  ${If} $Purge == 1
    SectionSetFlags ${PurgeSection} ${SF_SELECTED}
  ${EndIf}
FunctionEnd
