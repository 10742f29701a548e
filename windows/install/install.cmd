@echo off
rem Installs ZelVCOM from the folder this script is in: ZelVCOM.sys as the
rem kernel service ZelVCOM, started now and at every boot (it then starts
rem the configuration 'vcomctl save' stored), and the control library and
rem the tools in %ProgramFiles%\ZelVCOM. Run it from an administrator's
rem command prompt. Running it again replaces the files and keeps the
rem service and its saved configuration.
rem Each step is checked with "if errorlevel", which every cmd honours.
setlocal
set SERVICE=ZelVCOM
set KIT=%~dp0
set DRIVER=%SystemRoot%\System32\drivers\ZelVCOM.sys
set TOOLS=%ProgramFiles%\ZelVCOM

rem A driver in use cannot be replaced: stop it first (its ports close).
sc query %SERVICE% >nul 2>&1
if not errorlevel 1 sc stop %SERVICE% >nul 2>&1

copy /y "%KIT%ZelVCOM.sys" "%DRIVER%" >nul
if errorlevel 1 goto :denied
if not exist "%TOOLS%" mkdir "%TOOLS%"
if errorlevel 1 goto :denied
for %%f in (VZelSerial_64.dll vcomctl.exe comping.exe README.md uninstall.cmd) do (
    copy /y "%KIT%%%f" "%TOOLS%\" >nul
    if errorlevel 1 goto :denied
)

sc query %SERVICE% >nul 2>&1
if not errorlevel 1 goto :start
sc create %SERVICE% type= kernel start= auto error= normal binPath= "%DRIVER%" DisplayName= "ZelVCOM virtual COM ports" >nul
if errorlevel 1 goto :failed
:start
sc start %SERVICE% >nul
if errorlevel 1 goto :failed
echo ZelVCOM is installed and running; the tools are in %TOOLS%.
echo Add a module with vcomctl add, then vcomctl start and vcomctl save.
exit /b 0

:denied
echo install: cannot copy into %SystemRoot% or %ProgramFiles%: run this from an administrator's command prompt 1>&2
exit /b 1

:failed
echo install: the service %SERVICE% could not be created or started (unsigned driver? see README.md) 1>&2
exit /b 1
