@echo off
rem Registers the Quarv file service QuarvSvc.exe of this folder: the Windows service
rem "ZelQuarvSvc" (started automatically with Windows) and its event log source in the
rem Application log (the text of its entries comes from QuarvSvc.exe itself).
rem Run from an administrator's command prompt, after setting BASE and PASSWORD in QuarvSvc.ini
rem beside QuarvSvc.exe. Then: sc start ZelQuarvSvc. Undone by uninstall.cmd.
setlocal
set "exe=%~dp0QuarvSvc.exe"
set "source=HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\ZelQuarvSvc"
if not exist "%exe%" (
  echo QuarvSvc.exe is not beside this script.
  exit /b 1
)
reg add "%source%" /v EventMessageFile /t REG_EXPAND_SZ /d "%exe%" /f >nul
if errorlevel 1 goto failed
reg add "%source%" /v TypesSupported /t REG_DWORD /d 7 /f >nul
if errorlevel 1 goto failed
rem The quotes inside binPath keep a folder name with blanks from being read as arguments.
sc create ZelQuarvSvc binPath= "\"%exe%\"" start= auto DisplayName= "Quarv file service"
if errorlevel 1 goto failed
echo ZelQuarvSvc is installed. Start it with: sc start ZelQuarvSvc
exit /b 0
:failed
echo Installing ZelQuarvSvc failed (run this script as an administrator).
exit /b 1
