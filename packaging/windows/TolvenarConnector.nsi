; Setup of the Tolvenar Connector for 64-bit Windows: installs the program,
; writes the first TolvenarConnector.ini (or keeps the one there), narrows its
; access list, registers and starts the service, and ends with "-check".
;
; makensis -DTC_VERSION=<version> -DTC_EXE=<TolvenarConnector.exe>
;          -DTC_LEIAME=<LEIAME.txt> -DTC_OUTFILE=<setup.exe>
;          TolvenarConnector.nsi [-DTC_SIGN_NSH=<signing.nsh>]
;
; Exit codes of the setup: 0 installed (also when the closing check reports a
; problem: it is in the log); 1 cancelled by the operator; 2 parameters or
; answers refused, nothing changed; 3 installation failed (files, access
; lists, service registration or start; a service that was running is
; started again first); 4 another setup or uninstaller is running, nothing
; changed.
; Exit codes of the uninstaller (run in place, "_?="): 0 removed; 2
; parameters refused; 3 failed, or a file holding the secret could only be
; scheduled for removal at the next restart; 4 another setup or uninstaller
; is running.
;
; Only for tests (never in a shipped build): -DTC_STOP_WAIT_S and
; -DTC_CHECK_WAIT_S shorten the waits; -DTC_ACCESS_LISTS_UNVERIFIED turns
; access lists that read back different into a warning (Wine keeps none).

Unicode true
Target amd64-unicode
ManifestSupportedOS all
ManifestDPIAware true
RequestExecutionLevel admin
; A drive's root given with /D= reaches the setup's own check, which refuses it
; (NSIS would silently install into the default folder instead).
AllowRootDirInstall true
SetCompressor /SOLID lzma

!ifndef TC_VERSION | TC_EXE | TC_LEIAME | TC_OUTFILE
  !error "TC_VERSION, TC_EXE, TC_LEIAME and TC_OUTFILE must be defined"
!endif

; A signed build names the file that signs the uninstaller and the setup as
; they are written (!uninstfinalize, !finalize).
!ifdef TC_SIGN_NSH
  !include "${TC_SIGN_NSH}"
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
!define EXIT_BUSY 4

; One setup or uninstaller at a time, across sessions.
!define SETUP_MUTEX "Global\TolvenarConnectorSetup"

; How long a stop may take: the connector's own stop bound (150 s: a pause
; of up to 60 s or an exchange of up to 45 s per wait, with a margin) and
; time for its process to end.
!ifndef TC_STOP_WAIT_S
  !define TC_STOP_WAIT_S 180
!endif
; The closing "-check" (its probes bound themselves; this bounds the rest).
!ifndef TC_CHECK_WAIT_S
  !define TC_CHECK_WAIT_S 120
!endif
; "-install" and "-uninstall".
!define PROGRAM_WAIT_S 60

; Access lists. The folder: SYSTEM and Administrators, inherited by what is
; created in it (logs, temporary files, the setup log); Users may list it.
; The executable and the guides add read and run for Users. The INI: SYSTEM
; and Administrators only, nothing inherited (it holds the protected secret).
!define FOLDER_SDDL "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;0x1200a9;;;BU)"
!define USERS_READ_SDDL "D:(A;;0x1200a9;;;BU)"
!define INI_SDDL "D:P(A;;FA;;;SY)(A;;FA;;;BA)"

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
Var SilentAsked    ; 1 when /S was given, in any letter case
Var GotServer      ; 1 once each parameter was seen: none may repeat
Var GotCnpj
Var GotCode
Var GotApi
Var GotHomologation
Var GotPurge
Var GotNcrc
Var WasRunning     ; 1 when the service ran before the setup stopped it
Var SecretLeft     ; uninstaller: 1 when a file holding the secret stays
Var ConfigGiven    ; 1 when any configuration parameter was given
Var KeepIni        ; 1 when an INI is there already: it is kept untouched
Var LogFile        ; handle of the setup log, "" while there is none
Var Failure        ; text of the first failure of the installation
Var WriteFailed    ; 1 once a write to the INI failed
Var Refusal        ; text of a refusal of the parameters
Var AccessRead     ; the access list last read back (SDDL)
Var AccessNote     ; test builds: what differed in it
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
; Values: they go into the INI as they are, one line each, and the connector
; reads them back trimmed, without surrounding double quotes. A value that
; could change on the way, or add a line, is refused.

; Checks the value on the stack. Out: $R1 "" or what is wrong with it.
!macro CheckValueFunction prefix
Function ${prefix}CheckValue
  Exch $0
  Push $1
  Push $2
  Push $3
  Push $4
  StrCpy $R1 ""
  StrLen $3 $0
  ; Into memory: the characters are judged by their codes.
  System::Call '*(&w${NSIS_MAX_STRLEN} r0) p .r1'
  StrCpy $2 0
  ${Do}
    ${If} $2 >= $3
      ${Break}
    ${EndIf}
    IntOp $4 $2 * 2
    IntPtrOp $4 $1 + $4
    System::Call '*$4(&i2 .r4)'
    IntOp $4 $4 & 0xFFFF
    ${If} $4 < 0x20
    ${OrIf} $4 = 0x7F
    ${OrIf} $4 >= 0x80
    ${AndIf} $4 <= 0x9F
      StrCpy $R1 "caractere de controle (codigo $4)"
      ${Break}
    ${EndIf}
    IntOp $2 $2 + 1
  ${Loop}
  ${If} $R1 == ""
    ; Half of a surrogate pair has no UTF-8 form.
    System::Call 'kernel32::WideCharToMultiByte(i 65001, i 0x80, p r1, i r3, p 0, i 0, p 0, p 0) i .r4'
    ${If} $4 = 0
    ${AndIf} $3 > 0
      StrCpy $R1 "caractere invalido"
    ${EndIf}
  ${EndIf}
  System::Free $1
  ${If} $R1 == ""
    StrCpy $1 $0 1
    StrCpy $2 $0 1 -1
    ${If} $1 == " "
    ${OrIf} $2 == " "
      StrCpy $R1 "espaco no inicio ou no fim"
    ${ElseIf} $1 == '"'
    ${AndIf} $2 == '"'
      StrCpy $R1 "entre aspas"
    ${EndIf}
  ${EndIf}
  Pop $4
  Pop $3
  Pop $2
  Pop $1
  Pop $0
FunctionEnd
!macroend
!insertmacro CheckValueFunction ""
!insertmacro CheckValueFunction "un."

; ---------------------------------------------------------------------------
; Command line: Windows' own splitting (CommandLineToArgvW), so that quoted
; values and URLs full of "/" come through whole. Names ignore letter case;
; none may be given twice.

; Marks a parameter seen; a second time is a refusal.
!macro TakeOnce flag
  ${If} ${flag} == 1
  ${AndIf} $R0 == ""
    StrCpy $R0 "Parametro repetido: $5"
  ${EndIf}
  StrCpy ${flag} 1
!macroend

!macro ReadParametersFunction prefix
Function ${prefix}ReadParameters
  ; Out: $R0 "" or the text of the first refusal; $SilentAsked. Every
  ; parameter is read even after a refusal, so that /S in any letter case
  ; keeps the refusal silent.
  StrCpy $R0 ""
  StrCpy $SilentAsked 0
  ; NSIS holds the command line in one string of NSIS_MAX_STRLEN characters:
  ; what does not fit is lost, so nothing of a longer one is taken.
  System::Call 'kernel32::GetCommandLineW() p .r0'
  System::Call 'kernel32::lstrlenW(p r0) i .r1'
  ${If} $1 >= ${NSIS_MAX_STRLEN}
    IntOp $2 ${NSIS_MAX_STRLEN} - 1
    StrCpy $R0 "Linha de comando longa demais ($1 caracteres; o maximo e $2): nenhum parametro foi aceito."
  ${EndIf}
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
    ; Any parameter, known or not, is a value and never INI text; one that
    ; is refused is not repeated in the message (nor in the log).
    Push $5
    Call ${prefix}CheckValue
    ${If} $R1 != ""
    ${AndIf} $R0 == ""
      StrCpy $R0 "Parametro $2 da linha de comando recusado: $R1."
    ${EndIf}
    StrCpy $R1 $5 1
    ${If} $R1 != "/"
      StrCpy $7 ""  ; unknown
    ${EndIf}
    ; String comparisons of NSIS ignore letter case.
    ${If} $7 == "S"
      !insertmacro TakeOnce $SilentAsked
    ${ElseIf} $7 == "NCRC"
      !insertmacro TakeOnce $GotNcrc
    ${ElseIf} $7 == "SERVER="
      !insertmacro TakeOnce $GotServer
      StrCpy $Server $8
      StrCpy $ConfigGiven 1
    ${ElseIf} $7 == "CNPJ="
      !insertmacro TakeOnce $GotCnpj
      StrCpy $Cnpj $8
      StrCpy $ConfigGiven 1
    ${ElseIf} $7 == "CODE="
      !insertmacro TakeOnce $GotCode
      StrCpy $Code $8
      StrCpy $ConfigGiven 1
    ${ElseIf} $7 == "APILOCAL="
      !insertmacro TakeOnce $GotApi
      StrCpy $LocalApi $8
      StrCpy $ConfigGiven 1
    ${ElseIf} $7 == "HOMOLOGACAO"
      !insertmacro TakeOnce $GotHomologation
      StrCpy $Homologation 1
      StrCpy $ConfigGiven 1
    ${ElseIf} $7 == "PURGE"
      !insertmacro TakeOnce $GotPurge
      StrCpy $Purge 1
    ${ElseIf} $R0 == ""
      StrCpy $R0 "Parametro desconhecido: $5"
    ${EndIf}
  ${Next}
  System::Call 'kernel32::LocalFree(p r0)'
FunctionEnd
!macroend
!insertmacro ReadParametersFunction ""
!insertmacro ReadParametersFunction "un."

; One setup or uninstaller at a time: the first holds a named mutex until it
; ends. Out: $R0 "" or the text of the refusal.
!macro SingleInstanceFunction prefix
Function ${prefix}SingleInstance
  StrCpy $R0 ""
  System::Call 'kernel32::CreateMutexW(p 0, i 0, w "${SETUP_MUTEX}") p .r0 ?e'
  Pop $1
  ${If} $0 P= 0
  ${OrIf} $1 = 183  ; ERROR_ALREADY_EXISTS
    StrCpy $R0 "Outra instalacao ou desinstalacao do Tolvenar Connector esta em andamento; nada foi alterado. Tente de novo quando ela terminar."
  ${EndIf}
FunctionEnd
!macroend
!insertmacro SingleInstanceFunction ""
!insertmacro SingleInstanceFunction "un."

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

!macro CheckAnswer var name
  Push ${var}
  Call CheckValue
  ${If} $R1 != ""
    StrCpy $R0 "${name} recusado: $R1."
    Return
  ${EndIf}
!macroend

; The kind of one CNPJ character, on the stack: "digito" (0-9), "letra"
; (ASCII A-Z or a-z), "pontuacao" (. / -) or "outro". Compared byte by byte
; and case-sensitively: NSIS's ordering tests follow the locale, which puts
; accented letters and other digits between A and Z or 0 and 9.
Function CnpjCharKind
  Exch $0  ; the character
  Push $1
  Push $2
  Push $3
  StrCpy $2 "outro"
  ${If} $0 S== "."
  ${OrIf} $0 S== "/"
  ${OrIf} $0 S== "-"
    StrCpy $2 "pontuacao"
  ${Else}
    StrCpy $1 0
    ${Do}
      StrCpy $3 "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz" 1 $1
      ${If} $3 == ""
        ${Break}
      ${EndIf}
      ${If} $0 S== $3
        ${If} $1 < 10
          StrCpy $2 "digito"
        ${Else}
          StrCpy $2 "letra"
        ${EndIf}
        ${Break}
      ${EndIf}
      IntOp $1 $1 + 1
    ${Loop}
  ${EndIf}
  StrCpy $0 $2
  Pop $3
  Pop $2
  Pop $1
  Exch $0
FunctionEnd

Function CheckAnswers
  StrCpy $R0 ""
  !insertmacro CheckAnswer $Server "Endereco do servidor de conexao"
  !insertmacro CheckAnswer $Cnpj "CNPJ"
  !insertmacro CheckAnswer $Code "Codigo de vinculacao"
  !insertmacro CheckAnswer $LocalApi "Endereco da API local"
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
  ; CNPJ: 14 characters, written with or without its dots, slash and hyphen:
  ; 12 digits or letters (either case; alphanumeric since July 2026), then
  ; 2 check digits. Written as given: the connector normalises it.
  StrCpy $R3 0  ; characters kept
  StrCpy $R4 0  ; position
  ${Do}
    StrCpy $R5 $Cnpj 1 $R4
    ${If} $R5 == ""
      ${Break}
    ${EndIf}
    Push $R5
    Call CnpjCharKind
    Pop $R5
    ${If} $R5 == "digito"
    ${OrIf} $R5 == "letra"
      ${If} $R5 == "letra"
      ${AndIf} $R3 >= 12
        StrCpy $R3 -1  ; the check digits are digits
        ${Break}
      ${EndIf}
      IntOp $R3 $R3 + 1
    ${ElseIf} $R5 != "pontuacao"
      StrCpy $R3 -1
      ${Break}
    ${EndIf}
    IntOp $R4 $R4 + 1
  ${Loop}
  ${If} $R3 != 14
    StrCpy $R0 "CNPJ invalido: '$Cnpj' (14 caracteres: 12 letras ou digitos e 2 digitos verificadores, com ou sem pontuacao)."
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
; and its process has ended, so that the executable can be replaced. A
; worker ends its current pause or exchange first: the wait allows the
; connector's whole stop bound. A service still running past it is taken for
; hung: its process is ended, so that the caller can start it again.
; Out: $R0 "" or the text of a failure; $WasRunning 1 when it was running.
!macro StopServiceFunction prefix
Function ${prefix}StopService
  StrCpy $R0 ""
  StrCpy $WasRunning 0
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
      StrCpy $WasRunning 1
      !insertmacro Say "Parando o servico ${SERVICE} (uma troca em andamento termina antes; ate ${TC_STOP_WAIT_S} s)..."
      ${If} $5 != 3
        System::Call 'advapi32::ControlService(p r1, i 1, p r2) i .r4'
      ${EndIf}
      IntOp $9 ${TC_STOP_WAIT_S} * 2
      ${For} $7 1 $9
        System::Call 'advapi32::QueryServiceStatusEx(p r1, i 0, p r2, i 36, *i .r3) i .r4'
        System::Call '*$2(i, i .r5, i, i, i, i, i, i .r8)'
        ${If} $8 != 0
          StrCpy $6 $8
        ${EndIf}
        ${If} $5 == 1
          ${Break}
        ${EndIf}
        Sleep 500
      ${Next}
      ${If} $5 != 1
        StrCpy $R0 "O servico ${SERVICE} nao parou em ${TC_STOP_WAIT_S} s."
        ; Past the connector's own bound: ended like a hung program, so that
        ; it can be started again rather than stay stopped.
        ${If} $6 != 0
          System::Call 'kernel32::OpenProcess(i 0x00100001, i 0, i r6) p .r8'
          ${If} $8 P<> 0
            System::Call 'kernel32::TerminateProcess(p r8, i 1)'
            System::Call 'kernel32::WaitForSingleObject(p r8, i 30000) i .r9'
            System::Call 'kernel32::CloseHandle(p r8)'
          ${EndIf}
          ${For} $7 1 60
            System::Call 'advapi32::QueryServiceStatusEx(p r1, i 0, p r2, i 36, *i .r3) i .r4'
            System::Call '*$2(i, i .r5)'
            ${If} $5 == 1
              ${Break}
            ${EndIf}
            Sleep 500
          ${Next}
        ${EndIf}
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
!macro StartServiceFunction prefix
Function ${prefix}StartService
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
!macroend
!insertmacro StartServiceFunction ""
!insertmacro StartServiceFunction "un."

; Before a failure ends the setup or the uninstaller: a service that was
; running when it began runs again, whatever the failure was.
!macro RestoreServiceFunction prefix
Function ${prefix}RestoreService
  ${If} $WasRunning == 1
    Push $R0
    Call ${prefix}StartService
    ${If} $R0 == ""
      !insertmacro Say "Servico ${SERVICE} iniciado de novo."
    ${Else}
      !insertmacro Say "ERRO: $R0"
    ${EndIf}
    Pop $R0
  ${EndIf}
FunctionEnd
!macroend
!insertmacro RestoreServiceFunction ""
!insertmacro RestoreServiceFunction "un."

; Runs the program with `args` (pushed first), for at most `seconds` (pushed
; second): past that it is ended. Its output is said line by line; it goes
; through a file, as long as the check of several profiles makes it.
; Out: $R0 its exit code, "error" when it could not run, "timeout" when it
; was ended.
!macro RunProgramFunction prefix
Function ${prefix}RunProgram
  Exch $1  ; seconds
  Exch
  Exch $0  ; args
  Push $2
  Push $3
  Push $4
  Push $5
  Push $6
  InitPluginsDir
  StrCpy $R0 "error"
  ; SECURITY_ATTRIBUTES: the output file is inherited by the program.
  System::Call '*(i 24, i 0, p 0, i 1, i 0) p .r2'
  StrCpy $4 "$PLUGINSDIR\output.txt"
  System::Call 'kernel32::CreateFileW(w r4, i 0x40000000, i 1, p r2, i 2, i 0x80, p 0) p .r3'
  System::Free $2
  ${If} $3 P<> -1
    ; STARTUPINFOW with standard output and error on the file, no window.
    System::Call '*(i 104, i 0, p 0, p 0, p 0, i 0, i 0, i 0, i 0, i 0, i 0, i 0, i 0x101, &i2 0, &i2 0, i 0, p 0, p 0, p r3, p r3) p .r4'
    System::Call '*(&i24) p .r5'  ; PROCESS_INFORMATION
    ; Through registers: the command line holds double quotes.
    StrCpy $2 "$INSTDIR\TolvenarConnector.exe"
    StrCpy $6 `"$2" $0`
    System::Call 'kernel32::CreateProcessW(w r2, w r6, p 0, p 0, i 1, i 0x08000000, p 0, p 0, p r4, p r5) i .r6'
    System::Call 'kernel32::CloseHandle(p r3)'
    ${If} $6 != 0
      System::Call '*$5(p .r2, p .r3)'
      System::Call 'kernel32::CloseHandle(p r3)'
      IntOp $6 $1 * 1000
      System::Call 'kernel32::WaitForSingleObject(p r2, i r6) i .r6'
      ${If} $6 = 0
        System::Call 'kernel32::GetExitCodeProcess(p r2, *i .r6)'
        StrCpy $R0 $6
      ${Else}
        System::Call 'kernel32::TerminateProcess(p r2, i 1)'
        System::Call 'kernel32::WaitForSingleObject(p r2, i 10000)'
        StrCpy $R0 "timeout"
      ${EndIf}
      System::Call 'kernel32::CloseHandle(p r2)'
    ${EndIf}
    System::Free $5
    System::Free $4
  ${EndIf}
  ; Opened sharing everything: a handle of the ended program that the
  ; system has not closed yet must not hide its output.
  StrCpy $4 "$PLUGINSDIR\output.txt"
  System::Call 'kernel32::CreateFileW(w r4, i 0x80000000, i 7, p 0, i 3, i 0x80, p 0) p .r1'
  ${If} $1 P<> -1
    ClearErrors
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
  Pop $6
  Pop $5
  Pop $4
  Pop $3
  Pop $2
  Pop $0
  Pop $1
FunctionEnd
!macroend
!insertmacro RunProgramFunction ""
!insertmacro RunProgramFunction "un."

; ---------------------------------------------------------------------------
; Access lists.

; Sets the access list `sddl` (pushed second) on `path` (pushed first);
; `flags` (pushed third) are the SECURITY_INFORMATION bits besides the list:
; 0x80000000 protects it from inheritance, 0x20000000 lets it inherit.
; Out: $R0 "" or the text of a failure; $R1 the list read back (SDDL).
Function SetAccess
  Exch $2  ; flags
  Exch
  Exch $1  ; sddl
  Exch 2
  Exch $0  ; path
  Push $3
  Push $4
  Push $5
  Push $6
  StrCpy $R0 ""
  StrCpy $R1 ""
  System::Call 'advapi32::ConvertStringSecurityDescriptorToSecurityDescriptorW(w r1, i 1, *p .r3, p 0) i .r4 ?e'
  Pop $5
  ${If} $4 == 0
    StrCpy $R0 "descritor de seguranca invalido (erro $5)"
  ${Else}
    System::Call 'advapi32::GetSecurityDescriptorDacl(p r3, *i .r4, *p .r5, *i .r6) i .r4'
    IntOp $2 $2 | 4  ; DACL_SECURITY_INFORMATION
    System::Call 'advapi32::SetNamedSecurityInfoW(w r0, i 1, i r2, p 0, p 0, p r5, p 0) i .r4'
    System::Call 'kernel32::LocalFree(p r3)'
    ${If} $4 != 0
      StrCpy $R0 "erro $4"
    ${Else}
      System::Call 'advapi32::GetNamedSecurityInfoW(w r0, i 1, i 4, p 0, p 0, p 0, p 0, *p .r3) i .r4'
      ${If} $4 != 0
        StrCpy $R0 "releitura falhou (erro $4)"
      ${Else}
        System::Call 'advapi32::ConvertSecurityDescriptorToStringSecurityDescriptorW(p r3, i 1, i 4, *p .r5, p 0) i .r4'
        ${If} $4 != 0
          System::Call 'kernel32::lstrcpynW(w .R1, p r5, i ${NSIS_MAX_STRLEN})'
          System::Call 'kernel32::LocalFree(p r5)'
        ${EndIf}
        System::Call 'kernel32::LocalFree(p r3)'
      ${EndIf}
    ${EndIf}
  ${EndIf}
  Pop $6
  Pop $5
  Pop $4
  Pop $3
  Pop $0
  Pop $2
  Pop $1
FunctionEnd

; Sets the protected list `sddl` (pushed second) on `path` (pushed first)
; and compares what reads back with it: a file system that keeps another
; list fails. Out: $R0 "" or the text of a failure; $AccessRead.
Function SetProtectedAccess
  Exch $1  ; sddl
  Exch
  Exch $0  ; path
  Push $2
  Push $3
  Push $0
  Push $1
  Push 0x80000000
  Call SetAccess
  StrCpy $AccessNote ""
  ${If} $R0 == ""
    StrCpy $AccessRead $R1
    ; Windows adds "AI" (inherited entries kept up to date) to the flags.
    StrCpy $2 $R1 5
    ${If} $2 S== "D:PAI"
      StrCpy $2 $R1 "" 5
      StrCpy $R1 "D:P$2"
    ${EndIf}
    ; The list as set, in the same spelling as the one read back.
    System::Call 'advapi32::ConvertStringSecurityDescriptorToSecurityDescriptorW(w r1, i 1, *p .r2, p 0) i .r0'
    System::Call 'advapi32::ConvertSecurityDescriptorToStringSecurityDescriptorW(p r2, i 1, i 4, *p .r0, p 0) i .r3'
    System::Call 'kernel32::LocalFree(p r2)'
    ${If} $3 != 0
      System::Call 'kernel32::lstrcpynW(w .r1, p r0, i ${NSIS_MAX_STRLEN})'
      System::Call 'kernel32::LocalFree(p r0)'
    ${EndIf}
    ${If} $R1 S!= $1
      StrCpy $R0 "a lista lida de volta ($R1) difere da definida ($1)"
      !ifdef TC_ACCESS_LISTS_UNVERIFIED
        StrCpy $AccessNote "AVISO (versao de teste): $R0."
        StrCpy $R0 ""
      !endif
    ${EndIf}
  ${EndIf}
  Pop $3
  Pop $2
  Pop $0
  Pop $1
FunctionEnd

; Says the access list of `path` as read back.
!macro SayAccess path
  !insertmacro Say "Permissoes de ${path}: $AccessRead"
  ${If} $AccessNote != ""
    !insertmacro Say $AccessNote
  ${EndIf}
!macroend

; Adds read and run for Users to `name`, a file of the folder, if there; a
; failure fails the installation (restarting a stopped service).
!macro LetUsersReadFile name
  ${If} ${FileExists} "$INSTDIR\${name}"
    Push "$INSTDIR\${name}"
    Push "${USERS_READ_SDDL}"
    Push 0x20000000
    Call SetAccess
    ${If} $R0 != ""
      !insertmacro FailRestoring ${EXIT_FAILED} "Nao foi possivel permitir a leitura de $INSTDIR\${name} a Usuarios: $R0"
      Abort
    ${EndIf}
  ${EndIf}
!macroend

; ---------------------------------------------------------------------------
; The INI, written as UTF-8 (with its byte-order mark): every character of
; the answers reads back as given, whatever the machine's code page.

; Writes the text on the stack to the file handle below it, as UTF-8.
; $WriteFailed becomes 1 when not every byte was written.
Function WriteUtf8
  Exch $0  ; text
  Exch
  Exch $1  ; handle
  Push $2
  Push $3
  Push $4
  System::Call 'kernel32::WideCharToMultiByte(i 65001, i 0, w r0, i -1, p 0, i 0, p 0, p 0) i .r2'
  ${If} $2 > 1
    System::Alloc $2
    Pop $3
    System::Call 'kernel32::WideCharToMultiByte(i 65001, i 0, w r0, i -1, p r3, i r2, p 0, p 0) i .r2'
    IntOp $2 $2 - 1  ; without the terminating zero
    StrCpy $4 0
    System::Call 'kernel32::WriteFile(p r1, p r3, i r2, *i .r4, p 0) i .r0'
    ${If} $0 = 0
    ${OrIf} $4 != $2
      StrCpy $WriteFailed 1
    ${EndIf}
    System::Free $3
  ${EndIf}
  Pop $4
  Pop $3
  Pop $2
  Pop $1
  Pop $0
FunctionEnd

!macro WriteIniLine handle key value
  Push ${handle}
  Push `${key}=`
  Call WriteUtf8
  Push ${handle}
  Push `${value}`
  Call WriteUtf8
  Push ${handle}
  Push "$\r$\n"
  Call WriteUtf8
!macroend

; Out: $R0 "" or the text of a failure.
Function WriteIni
  StrCpy $R0 ""
  StrCpy $WriteFailed 0
  ClearErrors
  FileOpen $0 "$INSTDIR\${INI}" w
  ${If} ${Errors}
    StrCpy $R0 "Nao foi possivel criar $INSTDIR\${INI}."
    Return
  ${EndIf}
  FileWriteByte $0 0xEF
  FileWriteByte $0 0xBB
  FileWriteByte $0 0xBF
  Push $0
  Push "[Connector]$\r$\n"
  Call WriteUtf8
  !insertmacro WriteIniLine $0 "Servidor" $Server
  !insertmacro WriteIniLine $0 "CNPJ" $Cnpj
  !insertmacro WriteIniLine $0 "CodigoVinculacao" $Code
  !insertmacro WriteIniLine $0 "APILocal" $LocalApi
  ${If} $Homologation == 1
    !insertmacro WriteIniLine $0 "PermitirHTTPInseguro" "1"
  ${EndIf}
  System::Call 'kernel32::FlushFileBuffers(p r0) i .r1'
  ${If} $1 = 0
    StrCpy $WriteFailed 1
  ${EndIf}
  FileClose $0
  ${If} $WriteFailed == 1
    Delete "$INSTDIR\${INI}"
    StrCpy $R0 "Nao foi possivel gravar $INSTDIR\${INI}."
  ${EndIf}
FunctionEnd

!include "${__FILEDIR__}/event_sources.nsh"

; ---------------------------------------------------------------------------
; Installer

; The install folder gets an access list of its own: never a drive's root,
; nor a folder that already holds files other than an installation's.
; Out: $R0 "" or the text of a refusal.
Function CheckInstallFolder
  StrCpy $R0 ""
  Push $INSTDIR
  Call CheckValue
  ${If} $R1 != ""
    StrCpy $R0 "Pasta de instalacao recusada: $R1."
    Return
  ${EndIf}
  ${GetRoot} "$INSTDIR" $0
  ${If} $0 == $INSTDIR
  ${OrIf} "$0\" == $INSTDIR
    StrCpy $R0 "Pasta de instalacao recusada: $INSTDIR e a raiz de uma unidade (use /D=...\Tolvenar\Connector)."
    Return
  ${EndIf}
  ${If} ${FileExists} "$INSTDIR\TolvenarConnector.exe"
  ${OrIf} ${FileExists} "$INSTDIR\${INI}"
    Return
  ${EndIf}
  ClearErrors
  FindFirst $1 $2 "$INSTDIR\*"
  ${DoUntil} ${Errors}
    ${If} $2 != "."
    ${AndIf} $2 != ".."
    ${AndIf} $2 != ""
      StrCpy $R0 "Pasta de instalacao recusada: $INSTDIR ja existe e tem outros arquivos; use uma pasta nova ou vazia."
      ${Break}
    ${EndIf}
    FindNext $1 $2
  ${Loop}
  FindClose $1
FunctionEnd

Function .onInit
  SetRegView 64
  StrCpy $Homologation 0
  StrCpy $ConfigGiven 0
  Call ReadParameters
  StrCpy $Refusal $R0
  ; NSIS itself goes silent on "/S" only.
  ${If} $SilentAsked == 1
    SetSilent silent
  ${EndIf}
  Call SingleInstance
  ${If} $R0 != ""
    !insertmacro Fail ${EXIT_BUSY} $R0
    Abort
  ${EndIf}
  ${IfNot} ${RunningX64}
    !insertmacro Fail ${EXIT_REFUSED} "Este programa requer o Windows de 64 bits."
    Abort
  ${EndIf}
  ${If} $Refusal != ""
    !insertmacro Fail ${EXIT_REFUSED} "$Refusal Parametros: /SERVER=url /CNPJ=cnpj /CODE=codigo [/APILOCAL=url] [/HOMOLOGACAO]"
    Abort
  ${EndIf}
  ; An earlier installation decides the folder.
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $0 != ""
    StrCpy $INSTDIR $0
  ${EndIf}
  Call CheckInstallFolder
  ${If} $R0 != ""
    !insertmacro Fail ${EXIT_REFUSED} $R0
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

; After the service was stopped: a failure starts it again first.
!macro FailRestoring code text
  !insertmacro Say `ERRO: ${text}`
  Call RestoreService
  MessageBox MB_OK|MB_ICONSTOP `${text}` /SD IDOK
  SetErrorLevel ${code}
!macroend

Section "-Instalar"
  SetRegView 64
  StrCpy $Failure ""
  StrCpy $WasRunning 0
  CreateDirectory "$INSTDIR"
  ; Before anything is written into it: the setup log holds the connector's
  ; id, CNPJ and addresses.
  ; The folder's own list, nothing inherited from where it is.
  Push "$INSTDIR"
  Push "${FOLDER_SDDL}"
  Call SetProtectedAccess
  ${If} $R0 != ""
    !insertmacro Fail ${EXIT_FAILED} "Nao foi possivel restringir as permissoes de $INSTDIR a Administradores e SYSTEM: $R0"
    Abort
  ${EndIf}
  FileOpen $LogFile "$INSTDIR\${SETUP_LOG}" w
  ${If} ${Errors}
    StrCpy $LogFile ""
  ${EndIf}
  ${GetTime} "" "L" $0 $1 $2 $3 $4 $5 $6
  !insertmacro Say "Tolvenar Connector ${TC_VERSION}: instalacao em $INSTDIR ($2-$1-$0 $4:$5:$6)"
  !insertmacro SayAccess $INSTDIR

  Call StopService
  ${If} $R0 != ""
    !insertmacro FailRestoring ${EXIT_FAILED} "$R0 A atualizacao nao foi feita."
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
    !insertmacro FailRestoring ${EXIT_FAILED} "Nao foi possivel substituir $INSTDIR\TolvenarConnector.exe (em uso?)."
    Abort
  ${EndIf}
  ; The operators' guide is the one document shipped; earlier versions also
  ; put the developers' README.txt here.
  Delete "$INSTDIR\README.txt"
  File "/oname=LEIAME.txt" "${TC_LEIAME}"
  SetShellVarContext all
  CreateDirectory "$SMPROGRAMS\${PRODUCT}"
  CreateShortCut "$SMPROGRAMS\${PRODUCT}\Guia de operacao (LEIAME).lnk" "$INSTDIR\LEIAME.txt"
  WriteUninstaller "$INSTDIR\${UNINSTALLER}"
  ; Users may read and run these, nothing else in the folder.
  !insertmacro LetUsersReadFile "TolvenarConnector.exe"
  !insertmacro LetUsersReadFile "LEIAME.txt"
  !insertmacro Say "Programa instalado: $INSTDIR\TolvenarConnector.exe"
  Call RegisterEventSources
  ${If} $R0 != ""
    !insertmacro Fail ${EXIT_FAILED} $R0
    Abort
  ${EndIf}

  ${If} $KeepIni == 1
    !insertmacro Say "${INI} existente mantido sem alteracao (a vinculacao fica nele)."
    ${If} $ConfigGiven == 1
      !insertmacro Say "Os parametros de configuracao foram ignorados. Para configurar de novo, desinstale com /PURGE (ou edite o arquivo) e instale outra vez."
    ${EndIf}
  ${Else}
    Call WriteIni
    ${If} $R0 != ""
      !insertmacro FailRestoring ${EXIT_FAILED} $R0
      Abort
    ${EndIf}
    !insertmacro Say "${INI} criado: servidor $Server, CNPJ $Cnpj, API local $LocalApi."
    ${If} $Homologation == 1
      !insertmacro Say "Homologacao: servidor http:// permitido (PermitirHTTPInseguro=1)."
    ${EndIf}
  ${EndIf}
  Push "$INSTDIR\${INI}"
  Push "${INI_SDDL}"
  Call SetProtectedAccess
  ${If} $R0 != ""
    !insertmacro FailRestoring ${EXIT_FAILED} "Nao foi possivel restringir as permissoes de $INSTDIR\${INI} a Administradores e SYSTEM: $R0"
    Abort
  ${EndIf}
  !insertmacro SayAccess ${INI}

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
    Push ${PROGRAM_WAIT_S}
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
  Push ${TC_CHECK_WAIT_S}
  Call RunProgram
  ${If} $R0 == 0
    !insertmacro Say "Diagnostico: tudo certo (codigo 0)."
  ${Else}
    ${If} $R0 == "timeout"
      !insertmacro Say "Diagnostico interrompido: nao terminou em ${TC_CHECK_WAIT_S} s (um servidor ou a API local nao responde?)."
    ${EndIf}
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

; Removes the file `path` (pushed first); `secret` (pushed second) is 1 when
; it holds the enrollment. A file in use is scheduled for removal at the
; next restart, and said; $SecretLeft becomes 1 when such a file stays now.
Function un.RemoveChecked
  Exch $1  ; secret
  Exch
  Exch $0  ; path
  Push $2
  ClearErrors
  Delete "$0"
  ${If} ${Errors}
  ${OrIf} ${FileExists} "$0"
    ; MOVEFILE_DELAY_UNTIL_REBOOT
    System::Call 'kernel32::MoveFileExW(w r0, p 0, i 4) i .r2'
    ${If} $2 != 0
      SetRebootFlag true
      !insertmacro Say "$0 esta em uso: sera removido na proxima reinicializacao do Windows."
    ${Else}
      !insertmacro Say "ERRO: nao foi possivel remover $0 nem agendar sua remocao."
    ${EndIf}
    ${If} $1 == 1
      StrCpy $SecretLeft 1
    ${EndIf}
  ${EndIf}
  Pop $2
  Pop $0
  Pop $1
FunctionEnd

; Removes every file of the folder matching `pattern` (pushed first), as
; un.RemoveChecked with `secret` (pushed second).
Function un.RemoveMatching
  Exch $1  ; secret
  Exch
  Exch $0  ; pattern
  Push $2
  Push $3
  ClearErrors
  FindFirst $2 $3 "$INSTDIR\$0"
  ${DoUntil} ${Errors}
    ${If} $3 != ""
      Push "$INSTDIR\$3"
      Push $1
      Call un.RemoveChecked
    ${EndIf}
    ClearErrors
    FindNext $2 $3
  ${Loop}
  FindClose $2
  Pop $3
  Pop $2
  Pop $0
  Pop $1
FunctionEnd

Section "-un.Programa"
  SetRegView 64
  StrCpy $LogFile ""
  StrCpy $SecretLeft 0
  Call un.StopService
  ${If} $R0 != ""
    !insertmacro Say "ERRO: $R0"
    Call un.RestoreService
    MessageBox MB_OK|MB_ICONSTOP $R0 /SD IDOK
    SetErrorLevel ${EXIT_FAILED}
    Abort
  ${EndIf}
  ${If} ${FileExists} "$INSTDIR\TolvenarConnector.exe"
    Push "-uninstall -silent"
    Push ${PROGRAM_WAIT_S}
    Call un.RunProgram
    ${If} $R0 != 0
      !insertmacro Say "ERRO: falha ao remover o servico ${SERVICE} (codigo $R0)."
      Call un.RestoreService
      MessageBox MB_OK|MB_ICONSTOP "Falha ao remover o servico ${SERVICE} (codigo $R0)." /SD IDOK
      SetErrorLevel ${EXIT_FAILED}
      Abort
    ${EndIf}
    !insertmacro Say "Servico ${SERVICE} removido."
  ${EndIf}
  Call un.RemoveEventSources
  Delete "$INSTDIR\TolvenarConnector.exe"
  Delete "$INSTDIR\TolvenarConnector.exe.new"
  ; Left by an install of an earlier version that shipped it.
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\LEIAME.txt"
  SetShellVarContext all
  Delete "$SMPROGRAMS\${PRODUCT}\Guia de operacao (LEIAME).lnk"
  RMDir "$SMPROGRAMS\${PRODUCT}"
  Delete "$INSTDIR\${SETUP_LOG}"
  Delete "$INSTDIR\${UNINSTALLER}"
SectionEnd

Section /o "un.Remover tambem a configuracao e os registros" PurgeSection
  ; The INI and what a rewrite of it may have left behind hold the secret.
  Push "$INSTDIR\${INI}"
  Push 1
  Call un.RemoveChecked
  Push "${INI}.~*.tmp"
  Push 1
  Call un.RemoveMatching
  Push "$INSTDIR\TolvenarConnector.log"
  Push 0
  Call un.RemoveChecked
  Push "TolvenarConnector.*.log"
  Push 0
  Call un.RemoveMatching
  ${If} $SecretLeft == 1
    !insertmacro Say "ERRO: a configuracao com a vinculacao deste computador continua em $INSTDIR ate a proxima reinicializacao."
    MessageBox MB_OK|MB_ICONSTOP "A configuracao com a vinculacao deste computador continua em $INSTDIR ate a proxima reinicializacao do Windows." /SD IDOK
    SetErrorLevel ${EXIT_FAILED}
  ${Else}
    !insertmacro Say "Configuracao (${INI}, com a vinculacao) e registros removidos."
  ${EndIf}
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
  ${If} $SilentAsked == 1
    SetSilent silent
  ${EndIf}
  Push $R0
  Call un.SingleInstance
  ${If} $R0 != ""
    MessageBox MB_OK|MB_ICONSTOP $R0 /SD IDOK
    SetErrorLevel ${EXIT_BUSY}
    Abort
  ${EndIf}
  Pop $R0
  ${If} $R0 != ""
    MessageBox MB_OK|MB_ICONSTOP "$R0 Parametros: /S [/PURGE]" /SD IDOK
    SetErrorLevel ${EXIT_REFUSED}
    Abort
  ${EndIf}
  ${If} $Purge == 1
    SectionSetFlags ${PurgeSection} ${SF_SELECTED}
  ${EndIf}
FunctionEnd
