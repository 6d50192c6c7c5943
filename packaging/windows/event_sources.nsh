; The program's two event sources in the Application log: the service's
; ("TolvenarConnector") and the host's (the executable's file name). The
; installed executable is their message file: its message 0 is the event's
; own text, so Event Viewer shows it plainly.

!define EVENT_LOG_KEY "SYSTEM\CurrentControlSet\Services\EventLog\Application"

; Out: $R0 "" or the text of a failure.
!macro _RegisterEventSource name
  ClearErrors
  WriteRegExpandStr HKLM "${EVENT_LOG_KEY}\${name}" "EventMessageFile" "$INSTDIR\TolvenarConnector.exe"
  ; error, warning, information
  WriteRegDWORD HKLM "${EVENT_LOG_KEY}\${name}" "TypesSupported" 7
  ${If} ${Errors}
  ${AndIf} $R0 == ""
    StrCpy $R0 "Nao foi possivel registrar a origem de eventos ${name} (HKLM\${EVENT_LOG_KEY})."
  ${EndIf}
!macroend

Function RegisterEventSources
  StrCpy $R0 ""
  !insertmacro _RegisterEventSource "TolvenarConnector"
  !insertmacro _RegisterEventSource "TolvenarConnector.exe"
  ${If} $R0 == ""
    !insertmacro Say "Origens de eventos registradas (log Aplicativo): TolvenarConnector, TolvenarConnector.exe."
  ${EndIf}
FunctionEnd

Function un.RemoveEventSources
  DeleteRegKey HKLM "${EVENT_LOG_KEY}\TolvenarConnector"
  DeleteRegKey HKLM "${EVENT_LOG_KEY}\TolvenarConnector.exe"
  !insertmacro Say "Origens de eventos removidas: TolvenarConnector, TolvenarConnector.exe."
FunctionEnd
