@echo off
rem Computer start-up script (Group Policy) for dstpatch.exe. It runs
rem dstpatch-startup.vbs, which lies beside it with dstpatch.exe: a machine
rem that is done is left alone; on one that is not, what the patch changes
rem is backed up first, then the patch runs and its outcome is recorded.
rem Nothing else needs to be installed.
setlocal DisableDelayedExpansion

rem ---- Settings. Write each % in a path as %%. ----
rem The site root, for machines that do not have QUORDIR set (theirs wins).
rem Empty: such machines are not patched ("not run: no site root set").
if not defined QUORDIR set "QUORDIR="
rem A folder on a local drive for the backup and record of each run, which
rem only SYSTEM and Administrators may write (empty: %SystemRoot%\dstpatch,
rem which this script keeps for them alone).
set "DSTPATCH_BACKUP="
rem A share that gathers the outcome of every machine, such as
rem \\server\dstpatch$\outcomes (empty: none).
set "DSTPATCH_SHARE="
rem ---- End of the settings. ----

rem The release of these scripts.
set "DSTPATCH_RELEASE=@DSTPATCH_VERSION@"
rem The script leaves the outcome of each start in last-outcome.txt; one that
rem could not run at all (a syntax error) leaves none, and then this does.
if exist "%SystemRoot%\dstpatch\last-outcome.txt" del "%SystemRoot%\dstpatch\last-outcome.txt"
"%SystemRoot%\System32\cscript.exe" //nologo "%~dp0dstpatch-startup.vbs"
set "DSTPATCH_STATUS=%ERRORLEVEL%"
if exist "%SystemRoot%\dstpatch\last-outcome.txt" exit /b 0
set "DSTPATCH_OUTCOME=not run: script error: dstpatch-startup.vbs ended with exit status %DSTPATCH_STATUS% and no outcome [dstpatch %DSTPATCH_RELEASE%]"
echo %DSTPATCH_OUTCOME%
rem The time as the script writes it, the same in every language of Windows.
set "DSTPATCH_NOW="
for /f "skip=1 tokens=1 delims=. " %%T in ('"%SystemRoot%\System32\wbem\wmic.exe" os get LocalDateTime 2^>nul') do if not defined DSTPATCH_NOW set "DSTPATCH_NOW=%%T"
if defined DSTPATCH_NOW set "DSTPATCH_NOW=%DSTPATCH_NOW:~0,4%-%DSTPATCH_NOW:~4,2%-%DSTPATCH_NOW:~6,2% %DSTPATCH_NOW:~8,2%:%DSTPATCH_NOW:~10,2%:%DSTPATCH_NOW:~12,2%"
if not defined DSTPATCH_NOW set "DSTPATCH_NOW=????-??-?? ??:??:??"
if not exist "%SystemRoot%\dstpatch" mkdir "%SystemRoot%\dstpatch"
>>"%SystemRoot%\dstpatch\dstpatch.log" echo %DSTPATCH_NOW% dstpatch-startup: %DSTPATCH_OUTCOME%
if exist "%SystemRoot%\System32\eventcreate.exe" "%SystemRoot%\System32\eventcreate.exe" /t ERROR /id 1 /l APPLICATION /so dstpatch /d "dstpatch-startup: %DSTPATCH_OUTCOME%" >nul 2>&1
if not defined DSTPATCH_SHARE exit /b 0
>"%DSTPATCH_SHARE%\%COMPUTERNAME%-outcome.txt" echo %DSTPATCH_OUTCOME%
exit /b 0
