@echo off
rem Removes what install.cmd registered: stops and deletes the service "ZelQuarvSvc" and removes
rem its event log source (the entries already logged stay in the Application log). Run from an
rem administrator's command prompt. The folder with the programs is left as it is.
setlocal
set "source=HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\ZelQuarvSvc"
sc stop ZelQuarvSvc >nul 2>&1
sc delete ZelQuarvSvc
reg delete "%source%" /f >nul 2>&1
echo ZelQuarvSvc is removed.
exit /b 0
