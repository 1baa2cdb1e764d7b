@echo off
rem Computer start-up script (Group Policy) for dstpatch.exe. It runs
rem dstpatch-startup.vbs, which lies beside it with dstpatch.exe and
rem detect.vbs: a machine that is done is left alone; on one that is not, what
rem the patch changes is backed up first, then the patch runs and its outcome
rem is recorded. Nothing else needs to be installed.
setlocal

rem ---- Settings. Write each % in a path as %%. ----
rem The site root, for machines that do not have QUORDIR set (theirs wins).
if not defined QUORDIR set "QUORDIR=C:\Quor"
rem A folder on a local drive for the backup and record of each run, which
rem only SYSTEM and Administrators may write (empty: %SystemRoot%\dstpatch,
rem which ordinary users cannot change).
set "DSTPATCH_BACKUP="
rem A share that gathers the outcome of every machine, such as
rem \\server\dstpatch$\outcomes (empty: none).
set "DSTPATCH_SHARE="

rem The script leaves the outcome of each start in last-outcome.txt; one that
rem could not run at all (a syntax error) leaves none, and then this does.
if exist "%SystemRoot%\dstpatch\last-outcome.txt" del "%SystemRoot%\dstpatch\last-outcome.txt"
cscript.exe //nologo "%~dp0dstpatch-startup.vbs"
set "DSTPATCH_STATUS=%ERRORLEVEL%"
if exist "%SystemRoot%\dstpatch\last-outcome.txt" exit /b 0
set "DSTPATCH_OUTCOME=not run: script error: dstpatch-startup.vbs ended with exit status %DSTPATCH_STATUS% and no outcome"
echo %DSTPATCH_OUTCOME%
>>"%SystemRoot%\dstpatch\dstpatch-startup.log" echo %DATE% %TIME% %DSTPATCH_OUTCOME%
if not defined DSTPATCH_SHARE exit /b 0
>"%DSTPATCH_SHARE%\%COMPUTERNAME%-outcome.txt" echo %DSTPATCH_OUTCOME%
exit /b 0
