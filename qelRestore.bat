@echo off
rem Starts qelrestore.exe from this file's own folder with the four settings of a restore, each
rem in exactly one pair of double quotes (the quotes a caller typed are dropped first, so none
rem are doubled), and hands its exit status back to the caller: 0 when the restore completed
rem and the database restore was verified, 5 when something failed, 6 when the database restore
rem was not verified (README.md holds the whole table).
rem   qelRestore.bat backdirectory [outputlog] [background flag] [keep db.properties flag]
rem Delayed expansion off whatever the caller chose, so that a "!" in an argument reaches the
rem program as typed.
setlocal DisableDelayedExpansion
rem Without a first argument the program shows its usage message; four empty pairs of quotes
rem would be taken for a command line with settings in it.
if "%~1"=="" (
  "%~dp0qelrestore.exe"
) else (
  "%~dp0qelrestore.exe" "%~1" "%~2" "%~3" "%~4"
)
exit /b %ERRORLEVEL%
