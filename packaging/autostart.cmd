@echo off
rem Spindwart autostart. This one file is both scripts of the release, and its name says which:
rem   autostart-install.cmd [device]   registers a Task Scheduler task that starts spindwart.exe from
rem                                    this folder for the drive whenever the current user logs on,
rem                                    with that user's highest privileges; again: replaces it
rem   autostart-remove.cmd [device]    deletes that task
rem device is /dev/hda when none is given.
rem Exit code: 0 done, 1 not done (schtasks failed, no administrator rights, spindwart.exe missing),
rem 2 unknown drive name or too many arguments.
setlocal EnableExtensions DisableDelayedExpansion

rem Each argument is read exactly once, at the end of a line, and from then on only through delayed
rem expansion, which cmd does not parse; the drive name must then be one of a fixed list. Nothing the
rem user typed reaches a command line or the task.
set "arg1=%~1"
set "arg2=%~2"
set "arg3=%~3"
set "arg4=%~4"
set "arg5=%~5"
setlocal EnableDelayedExpansion
set "mode=install"
if /i "%~n0"=="autostart-remove" set "mode=remove"
set "elevated="
set "given="
set "extra="
call :take arg1
call :take arg2
call :take arg3
call :take arg4
call :take arg5
if not defined given set "given=/dev/hda"
set "name="
rem The drive names that spindwart.exe opens, each in the one spelling that the guide gives. A task
rem name cannot hold slashes: "Spindwart V7 /dev/sdb" becomes "Spindwart V7 _dev_sdb".
for %%n in (hda hdb hdc hdd hde hdf hdg hdh hdi hdj hdk hdl hdm hdn hdo hdp hdq hdr hds hdt hdu hdv hdw hdx hdy hdz) do if "!given!"=="/dev/%%n" set "name=%%n"
for %%n in (sda sdb sdc sdd sde sdf sdg sdh sdi sdj sdk sdl sdm sdn sdo sdp sdq sdr sds sdt sdu sdv sdw sdx sdy sdz) do if "!given!"=="/dev/%%n" set "name=%%n"
for %%n in (scd0 scd1 scd2 scd3 scd4 scd5 scd6 scd7 scd8 scd9 scd10 scd11 scd12 scd13 scd14 scd15) do if "!given!"=="/dev/%%n" set "name=%%n"
set "device="
set "task="
if defined name if not defined extra (
  set "device=/dev/!name!"
  set "task=Spindwart V7 _dev_!name!"
)
endlocal & set "mode=%mode%" & set "elevated=%elevated%" & set "device=%device%" & set "task=%task%"

if not defined device (
  echo Unbekanntes Laufwerk: erwartet /dev/hda bis /dev/hdz, /dev/sda bis /dev/sdz oder /dev/scd0 bis /dev/scd15. - Unknown drive: expected /dev/hda to /dev/hdz, /dev/sda to /dev/sdz or /dev/scd0 to /dev/scd15.
  exit /b 2
)
if "%mode%"=="install" if not exist "%~dp0spindwart.exe" (
  echo Nichts eingerichtet: spindwart.exe fehlt neben diesem Skript. - Nothing set up: spindwart.exe is missing next to this script.
  exit /b 1
)

rem Creating or deleting a task that runs with the highest privileges needs an elevated prompt. Ask
rem once; an elevated run that still fails this test (no Server service) goes on and lets schtasks tell.
"%SystemRoot%\System32\net.exe" session >nul 2>&1
if errorlevel 1 if not defined elevated goto elevate

if "%mode%"=="remove" goto remove
set "xml=%TEMP%\spindwart-task-%RANDOM%%RANDOM%.xml"
call :write_task
"%SystemRoot%\System32\schtasks.exe" /create /tn "%task%" /xml "%xml%" /f >nul
set "result=%errorlevel%"
del "%xml%" >nul 2>&1
call :report install %result%
exit /b %errorlevel%

:remove
"%SystemRoot%\System32\schtasks.exe" /delete /tn "%task%" /f >nul
call :report remove %errorlevel%
exit /b %errorlevel%

:elevate
rem The elevated copy gets only the checked drive name; its window closes when it is done, so this
rem window says how it went.
set "SPINDWART_SELF=%~f0"
set "SPINDWART_ARGS=%device% --elevated"
"%SystemRoot%\System32\WindowsPowerShell\v1.0\powershell.exe" -NoLogo -NoProfile -NonInteractive -ExecutionPolicy Bypass -Command "try { $p = Start-Process -FilePath ($env:SystemRoot + '\System32\cmd.exe') -ArgumentList ('/d /c \"\"' + $env:SPINDWART_SELF + '\" ' + $env:SPINDWART_ARGS + '\"') -Verb RunAs -Wait -PassThru; exit $p.ExitCode } catch { exit 1223 }"
set "result=%errorlevel%"
if "%result%"=="0" (call :report %mode% 0) else if "%result%"=="1" (call :report %mode% 1) else (
  echo Nichts geaendert: keine Administratorrechte. - Nothing changed: no administrator rights.
  exit /b 1
)
exit /b %errorlevel%

:take
rem Sorts one argument: the switch that the elevated copy gets, the drive name, or one too many.
set "value=!%1!"
if "!value!"=="--elevated" (set "elevated=1") else if defined value (
  if defined given (set "extra=1") else (set "given=!value!")
)
goto :eof

:report
if "%1 %2"=="install 0" (
  echo Spindwart startet jetzt bei jeder Anmeldung mit %device% ^(Aufgabe "%task%"^). - Spindwart now starts at every logon with %device% ^(task "%task%"^).
  exit /b 0
)
if "%1 %2"=="remove 0" (
  echo Autostart mit %device% entfernt ^(Aufgabe "%task%"^). - Autostart with %device% removed ^(task "%task%"^).
  exit /b 0
)
if "%1"=="install" (
  echo Autostart mit %device% nicht eingerichtet: schtasks meldet einen Fehler. - Autostart with %device% not set up: schtasks reported an error.
) else (
  echo Kein Autostart mit %device% entfernt: keine Aufgabe "%task%"? - No autostart with %device% removed: no task "%task%"?
)
exit /b 1

:write_task
rem The folder and the user name can hold any character (and any letter): they reach the file only
rem through for-variables, which cmd does not parse, inside CDATA sections, in UTF-8. The code page
rem is switched inside one block, which cmd reads as a whole before it runs any of it.
set "oldcp="
for /f "tokens=2 delims=:." %%c in ('"%SystemRoot%\System32\chcp.com"') do set /a "oldcp=%%c" >nul 2>&1
(
  if defined oldcp "%SystemRoot%\System32\chcp.com" 65001 >nul 2>&1
  >"%xml%"  echo ^<?xml version="1.0" encoding="UTF-8"?^>
  >>"%xml%" echo ^<Task version="1.2" xmlns="http://schemas.microsoft.com/windows/2004/02/mit/task"^>
  >>"%xml%" echo   ^<RegistrationInfo^>^<Description^>Spindwart %device%^</Description^>^</RegistrationInfo^>
  >>"%xml%" echo   ^<Triggers^>
  >>"%xml%" echo     ^<LogonTrigger^>
  >>"%xml%" echo       ^<Enabled^>true^</Enabled^>
  for %%u in ("%USERDOMAIN%\%USERNAME%") do >>"%xml%" echo       ^<UserId^>^<^![CDATA[%%~u]]^>^</UserId^>
  >>"%xml%" echo     ^</LogonTrigger^>
  >>"%xml%" echo   ^</Triggers^>
  >>"%xml%" echo   ^<Principals^>
  >>"%xml%" echo     ^<Principal id="Author"^>
  for %%u in ("%USERDOMAIN%\%USERNAME%") do >>"%xml%" echo       ^<UserId^>^<^![CDATA[%%~u]]^>^</UserId^>
  >>"%xml%" echo       ^<LogonType^>InteractiveToken^</LogonType^>
  >>"%xml%" echo       ^<RunLevel^>HighestAvailable^</RunLevel^>
  >>"%xml%" echo     ^</Principal^>
  >>"%xml%" echo   ^</Principals^>
  >>"%xml%" echo   ^<Settings^>
  >>"%xml%" echo     ^<MultipleInstancesPolicy^>IgnoreNew^</MultipleInstancesPolicy^>
  >>"%xml%" echo     ^<DisallowStartIfOnBatteries^>false^</DisallowStartIfOnBatteries^>
  >>"%xml%" echo     ^<StopIfGoingOnBatteries^>false^</StopIfGoingOnBatteries^>
  >>"%xml%" echo     ^<AllowHardTerminate^>true^</AllowHardTerminate^>
  >>"%xml%" echo     ^<StartWhenAvailable^>false^</StartWhenAvailable^>
  >>"%xml%" echo     ^<RunOnlyIfNetworkAvailable^>false^</RunOnlyIfNetworkAvailable^>
  >>"%xml%" echo     ^<IdleSettings^>
  >>"%xml%" echo       ^<StopOnIdleEnd^>false^</StopOnIdleEnd^>
  >>"%xml%" echo       ^<RestartOnIdle^>false^</RestartOnIdle^>
  >>"%xml%" echo     ^</IdleSettings^>
  >>"%xml%" echo     ^<AllowStartOnDemand^>true^</AllowStartOnDemand^>
  >>"%xml%" echo     ^<Enabled^>true^</Enabled^>
  >>"%xml%" echo     ^<Hidden^>false^</Hidden^>
  >>"%xml%" echo     ^<RunOnlyIfIdle^>false^</RunOnlyIfIdle^>
  >>"%xml%" echo     ^<WakeToRun^>false^</WakeToRun^>
  >>"%xml%" echo     ^<ExecutionTimeLimit^>PT0S^</ExecutionTimeLimit^>
  >>"%xml%" echo     ^<Priority^>5^</Priority^>
  >>"%xml%" echo   ^</Settings^>
  >>"%xml%" echo   ^<Actions Context="Author"^>
  >>"%xml%" echo     ^<Exec^>
  for %%a in ("%~dp0.") do >>"%xml%" echo       ^<Command^>^<^![CDATA[%%~fa\spindwart.exe]]^>^</Command^>
  >>"%xml%" echo       ^<Arguments^>%device%^</Arguments^>
  for %%a in ("%~dp0.") do >>"%xml%" echo       ^<WorkingDirectory^>^<^![CDATA[%%~fa]]^>^</WorkingDirectory^>
  >>"%xml%" echo     ^</Exec^>
  >>"%xml%" echo   ^</Actions^>
  >>"%xml%" echo ^</Task^>
  if defined oldcp "%SystemRoot%\System32\chcp.com" %oldcp% >nul 2>&1
)
exit /b 0
