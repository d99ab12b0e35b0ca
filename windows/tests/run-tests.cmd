@echo off
rem Runs the fmskins tests in the folder given, or else in the folder this file is in, and
rem writes the results to fmskins-test-results.txt there.
setlocal
set "folder=%~1"
if "%folder%"=="" set "folder=%~dp0."
"%~dp0fmskins-tests.exe" "%folder%"
set "status=%errorlevel%"
echo.
if "%status%"=="0" (echo All tests passed or were skipped.) else (echo Some tests failed.)
if "%~1"=="" pause
exit /b %status%
