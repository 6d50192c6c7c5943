@echo off
rem The lives of the Windows service, driven through the service manager in
rem one Wine session (a Wine service lives only while a Wine process runs).
rem Arguments: the program, the service tool, a usable profiles file, one
rem whose worker pauses three seconds between attempts.
setlocal
set EXE=%~1
set TOOL=%~2
set PROFILE=%~3
set SLOW_PROFILE=%~4
set INI=%~dp1TolvenarConnector.ini
set LOG=%~dp1TolvenarConnector.log

"%EXE%" /uninstall /silent >nul
echo [install]
"%EXE%" /install
echo [exit %ERRORLEVEL%]
"%TOOL%" qc TolvenarConnector
"%TOOL%" recovery TolvenarConnector
echo [install again]
"%EXE%" -INSTALL
echo [exit %ERRORLEVEL%]
echo [silent uninstall and install]
"%EXE%" /uninstall /silent
"%EXE%" /silent /install
echo [exit %ERRORLEVEL%]

echo [start]
copy /y "%PROFILE%" "%INI%" >nul
"%TOOL%" start TolvenarConnector
"%TOOL%" wait TolvenarConnector 4 60
"%TOOL%" grow "%LOG%" 60
echo [pause]
"%TOOL%" control TolvenarConnector 2
"%TOOL%" wait TolvenarConnector 7 60
"%TOOL%" grow "%LOG%" 60
echo [interrogate]
"%TOOL%" control TolvenarConnector 4
"%TOOL%" query TolvenarConnector
echo [continue]
"%TOOL%" control TolvenarConnector 3
"%TOOL%" wait TolvenarConnector 4 60
echo [stop]
"%TOOL%" control TolvenarConnector 1
"%TOOL%" wait TolvenarConnector 1 60
"%TOOL%" gone TolvenarConnector.exe 60

echo [slow stop]
rem The stop comes right after a failed attempt: the worker's pause of three
rem seconds runs to its end first.
copy /y "%SLOW_PROFILE%" "%INI%" >nul
"%TOOL%" start TolvenarConnector
"%TOOL%" wait TolvenarConnector 4 60
"%TOOL%" grow "%LOG%" 60
"%TOOL%" stopwatch TolvenarConnector 60
"%TOOL%" gone TolvenarConnector.exe 60

echo [failed start]
del "%INI%"
"%TOOL%" start TolvenarConnector
"%TOOL%" wait TolvenarConnector 1 60
"%TOOL%" gone TolvenarConnector.exe 60

echo [uninstall]
"%EXE%" /uninstall
echo [exit %ERRORLEVEL%]
echo [uninstall again]
"%EXE%" /uninstall
echo [exit %ERRORLEVEL%]

echo [outside the service manager]
"%EXE%" console
echo [exit %ERRORLEVEL%]
echo [end]
rem The start by hand above ends with exit code 1; the transcript says so.
exit /b 0
