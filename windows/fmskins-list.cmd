@echo off
rem fmskins-list.cmd: lists the skin paths of every model dropped on it in Explorer (or
rem named after it in a console) with "fmskins /L", which never changes a model, then
rem waits for a key so that the window stays open. It must stay beside fmskins.exe.
setlocal
if "%~1"=="" (
  echo Drop one or more .fm models on fmskins-list.cmd to list their skin paths.
  pause
  exit /b 1
)
set failed=0
:next
if "%~1"=="" goto done
"%~dp0fmskins.exe" /L "%~1"
if %ERRORLEVEL% NEQ 0 set failed=1
echo.
shift
goto next
:done
pause
exit /b %failed%
