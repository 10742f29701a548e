@echo off
rem Removes ZelVCOM: stops and deletes the service ZelVCOM, whose registry
rem key holds the saved configuration and goes with it, then deletes the
rem driver and %ProgramFiles%\ZelVCOM. Run it from an administrator's
rem command prompt; a port still open keeps the driver loaded until the
rem program closes it or the machine restarts.
rem Each step is checked with "if errorlevel", which every cmd honours.
setlocal
set SERVICE=ZelVCOM
set DRIVER=%SystemRoot%\System32\drivers\ZelVCOM.sys
set TOOLS=%ProgramFiles%\ZelVCOM

sc query %SERVICE% >nul 2>&1
if errorlevel 1 goto :files
sc stop %SERVICE% >nul 2>&1
sc delete %SERVICE% >nul
if errorlevel 1 goto :failed

:files
if exist "%DRIVER%" del /f "%DRIVER%"
echo ZelVCOM is removed.
rem This script may be the copy in the folder it removes, and cmd reads a
rem script as it runs it: the folder goes in the script's last line.
cd /d "%SystemRoot%" & if exist "%TOOLS%" rmdir /s /q "%TOOLS%" & exit /b 0

:failed
echo uninstall: the service %SERVICE% could not be deleted: run this from an administrator's command prompt 1>&2
exit /b 1
