@echo off
rem A check in the classic monitoring convention, run through
rem "vardok-check run -- classic-check.cmd": one line of text, performance
rem data after the '|', and the exit code 0 OK, 1 WARNING, 2 CRITICAL,
rem 3 UNKNOWN.
if not defined TEMP (
  echo UNKNOWN - TEMP is not set
  exit /b 3
)
if not exist "%TEMP%\" (
  echo CRITICAL - the temporary folder %TEMP% is missing
  exit /b 2
)
set count=0
for %%f in ("%TEMP%\*") do set /a count+=1 >nul
if %count% GTR 5000 (
  echo WARNING - %count% files in the temporary folder ^| files=%count%;5000
  exit /b 1
)
echo OK - %count% files in the temporary folder ^| files=%count%;5000
exit /b 0
