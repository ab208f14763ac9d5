@echo off
rem Spindwart autostart. This one file is both scripts of the release, and its name says which:
rem   autostart-install.cmd [device]   copies spindwart.exe into "%ProgramFiles%\Spindwart", which only
rem                                    administrators can change, and registers a Task Scheduler task
rem                                    that starts it from there for the drive whenever the signed-in
rem                                    user logs on, with that user's highest privileges; again:
rem                                    replaces both. Only for an account that is an administrator.
rem   autostart-remove.cmd [device]    deletes that task, and the copy when no other task uses it
rem device is /dev/hda when none is given; every name of a drive gives the same task.
rem Exit code: 0 done, 1 not done (schtasks failed, no administrator rights, not an administrator's
rem account, spindwart.exe missing), 2 unknown drive name or too many arguments.
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
set "expected="
set "given="
set "extra="
call :take arg1
call :take arg2
call :take arg3
call :take arg4
call :take arg5
if not defined given set "given=/dev/hda"
set "name="
set "drive="
rem The drive names that spindwart.exe opens, each in the one spelling that the guide gives, and the
rem drive each opens: the task is named by the drive, so that /dev/hdb and /dev/sdb make one task.
set "n=0"
for %%n in (a b c d e f g h i j k l m n o p q r s t u v w x y z) do (
  if "!given!"=="/dev/hd%%n" set "name=hd%%n"
  if "!given!"=="/dev/hd%%n" set "drive=PhysicalDrive!n!"
  if "!given!"=="/dev/sd%%n" set "name=sd%%n"
  if "!given!"=="/dev/sd%%n" set "drive=PhysicalDrive!n!"
  set /a "n+=1"
)
for /l %%n in (0,1,15) do (
  if "!given!"=="/dev/scd%%n" set "name=scd%%n"
  if "!given!"=="/dev/scd%%n" set "drive=CdRom%%n"
)
set "device="
set "task="
if defined name if not defined extra (
  set "device=/dev/!name!"
  set "task=Spindwart V7 !drive!"
)
rem The task starts an elevated program at the logon of the account that is signed in: an account
rem that is no administrator could not start it, and an elevated copy that runs as another account
rem (over-the-shoulder elevation) would make the task for the wrong one.
set "sid="
set "admin="
set "other_account="
if defined device if "!mode!"=="install" call :whoami
if defined expected if not "!sid!"=="!expected!" set "other_account=1"
endlocal & set "mode=%mode%" & set "elevated=%elevated%" & set "device=%device%" & set "task=%task%" & set "sid=%sid%" & set "admin=%admin%" & set "other_account=%other_account%"

if not defined device (
  echo Unbekanntes Laufwerk: erwartet /dev/hda bis /dev/hdz, /dev/sda bis /dev/sdz oder /dev/scd0 bis /dev/scd15. - Unknown drive: expected /dev/hda to /dev/hdz, /dev/sda to /dev/sdz or /dev/scd0 to /dev/scd15.
  exit /b 2
)
if "%mode%"=="install" if not exist "%~dp0spindwart.exe" (
  echo Nichts eingerichtet: spindwart.exe fehlt neben diesem Skript. - Nothing set up: spindwart.exe is missing next to this script.
  exit /b 1
)

if "%mode%"=="install" if not defined admin (
  echo Nichts eingerichtet: das angemeldete Konto ist kein Administrator, und Spindwart braucht Administratorrechte. - Nothing set up: the signed-in account is not an administrator, and Spindwart needs administrator rights.
  exit /b 1
)
rem The elevated copy's window closes at once: the code 3 tells the first window why.
if defined other_account exit /b 3

rem Creating or deleting a task that runs with the highest privileges needs an elevated prompt. Ask
rem once; an elevated run that still fails this test (no Server service) goes on and lets schtasks tell.
"%SystemRoot%\System32\net.exe" session >nul 2>&1
if errorlevel 1 if not defined elevated goto elevate

rem The task starts the program with the highest privileges, so it starts a copy that only
rem administrators can change, never the one in the unpacked folder (usually Downloads). A copy that
rem runs cannot be deleted, but it can be renamed; the next install deletes the renamed one.
set "home=%ProgramFiles%\Spindwart"
if "%mode%"=="remove" goto remove
if not exist "%home%\" mkdir "%home%" >nul 2>&1
del /f /q "%home%\spindwart-old-*.exe" >nul 2>&1
del /f /q "%home%\spindwart.exe" >nul 2>&1
if exist "%home%\spindwart.exe" move /y "%home%\spindwart.exe" "%home%\spindwart-old-%RANDOM%%RANDOM%.exe" >nul 2>&1
copy /b /y "%~dp0spindwart.exe" "%home%\spindwart.exe" >nul 2>&1
if errorlevel 1 (
  echo Nichts eingerichtet: spindwart.exe liess sich nicht in den Programmordner kopieren. - Nothing set up: spindwart.exe could not be copied into the programs folder.
  exit /b 1
)
set "xml=%home%\spindwart-task-%RANDOM%%RANDOM%.xml"
call :write_task
"%SystemRoot%\System32\schtasks.exe" /create /tn "%task%" /xml "%xml%" /f >nul
set "result=%errorlevel%"
del "%xml%" >nul 2>&1
call :report install %result%
exit /b %errorlevel%

:remove
"%SystemRoot%\System32\schtasks.exe" /delete /tn "%task%" /f >nul
set "result=%errorlevel%"
rem The copy goes with the last task that starts it.
if "%result%"=="0" "%SystemRoot%\System32\schtasks.exe" /query /fo csv /nh 2>nul | "%SystemRoot%\System32\find.exe" /i "Spindwart V7 " >nul 2>&1
rem The folder has two owners (the drive tool's service keeps its program there too): only the tray's
rem program and its renamed copies go, the folder once it is empty.
if "%result%"=="0" if errorlevel 1 set "last=1"
if defined last del /f /q "%home%\spindwart.exe" >nul 2>&1
if defined last del /f /q "%home%\spindwart-old-*.exe" >nul 2>&1
if defined last rd "%home%" >nul 2>&1
call :report remove %result%
exit /b %errorlevel%

:elevate
rem The elevated copy gets only the checked drive name; its window closes when it is done, so this
rem window says how it went.
set "SPINDWART_SELF=%~f0"
set "SPINDWART_ARGS=%device% --elevated %sid%"
"%SystemRoot%\System32\WindowsPowerShell\v1.0\powershell.exe" -NoLogo -NoProfile -NonInteractive -ExecutionPolicy Bypass -Command "try { $p = Start-Process -FilePath ($env:SystemRoot + '\System32\cmd.exe') -ArgumentList ('/d /c \"\"' + $env:SPINDWART_SELF + '\" ' + $env:SPINDWART_ARGS + '\"') -Verb RunAs -Wait -PassThru; exit $p.ExitCode } catch { exit 1223 }"
set "result=%errorlevel%"
if "%result%"=="3" (
  echo Nichts eingerichtet: die Administratorrechte kamen von einem anderen Konto als dem angemeldeten. - Nothing set up: the administrator rights came from another account than the signed-in one.
  exit /b 1
)
if "%result%"=="0" (call :report %mode% 0) else if "%result%"=="1" (call :report %mode% 1) else (
  echo Nichts geaendert: keine Administratorrechte. - Nothing changed: no administrator rights.
  exit /b 1
)
exit /b %errorlevel%

:take
rem Sorts one argument: the switch that the elevated copy gets and, after it, the SID of the account
rem that it must run as; the drive name; or one too many.
set "value=!%1!"
if not defined value goto :eof
if "!value!"=="--elevated" (
  set "elevated=1"
  goto :eof
)
if defined elevated if not defined expected (
  set "expected=!value!"
  goto :eof
)
if defined given (set "extra=1") else (set "given=!value!")
goto :eof

:whoami
rem The account's SID, and whether it is in the Administrators group (S-1-5-32-544; without an
rem elevated prompt the group is there for deny only, which still says that the account is one). The
rem list format's labels are translated (some languages write "SID :"), so the formats without labels
rem are read, and the SIDs are found by their shape, not by a column: Microsoft documents /fo csv and
rem /nh, not the order of the columns. An account name holds no comma; a group's attributes may.
for /f "usebackq tokens=1-4 delims=," %%a in (`"%SystemRoot%\System32\whoami.exe" /user /fo csv /nh`) do call :fields %%a %%b %%c %%d
for /f "usebackq tokens=1-9 delims=," %%a in (`"%SystemRoot%\System32\whoami.exe" /groups /fo csv /nh`) do call :fields %%a %%b %%c %%d %%e %%f %%g %%h %%i
rem Only the characters of a SID go on to the elevated copy and into the task.
if defined sid for /f "delims=S0123456789-" %%x in ("%sid%") do set "sid="
goto :eof

:fields
rem The fields of one line: the first one shaped like a SID is the account's (the user's line comes
rem first), S-1-5-32-544 is the Administrators group. A group's attributes come split at their commas,
rem and put together again here with their quotation marks.
if "%~1"=="" goto :eof
for /f "tokens=1,2 delims=-" %%x in ("%~1") do if not defined sid if "%%x-%%y"=="S-1" set "sid=%~1"
if "%~1"=="S-1-5-32-544" set "admin=1"
shift
goto :fields

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
  >>"%xml%" echo       ^<UserId^>%sid%^</UserId^>
  >>"%xml%" echo     ^</LogonTrigger^>
  >>"%xml%" echo   ^</Triggers^>
  >>"%xml%" echo   ^<Principals^>
  >>"%xml%" echo     ^<Principal id="Author"^>
  >>"%xml%" echo       ^<UserId^>%sid%^</UserId^>
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
  for %%a in ("%home%") do >>"%xml%" echo       ^<Command^>^<^![CDATA[%%~fa\spindwart.exe]]^>^</Command^>
  >>"%xml%" echo       ^<Arguments^>%device%^</Arguments^>
  for %%a in ("%home%") do >>"%xml%" echo       ^<WorkingDirectory^>^<^![CDATA[%%~fa]]^>^</WorkingDirectory^>
  >>"%xml%" echo     ^</Exec^>
  >>"%xml%" echo   ^</Actions^>
  >>"%xml%" echo ^</Task^>
  if defined oldcp "%SystemRoot%\System32\chcp.com" %oldcp% >nul 2>&1
)
exit /b 0
