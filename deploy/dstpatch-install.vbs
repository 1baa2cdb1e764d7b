' Install command of dstpatch for software-distribution tools and the
' Ansible playbook: runs dstpatch.exe, which lies beside it with detect.vbs,
' as the start-up script does. Windows Script Host only (XP SP2 and later,
' nothing installed).
'
'   cscript //nologo dstpatch-install.vbs [SITEROOT]
'
' The site root is SITEROOT, else QUORDIR of this process, else the machine's
' QUORDIR as the registry holds it (an agent started before QUORDIR was set
' does not see it); the program gets it as /QUORDIR, the detection rule as its
' argument. A site root that holds the %NAME% of an environment variable is
' refused, as a command line would not keep it.
'
' A machine that is done is left alone. A write filter on the system drive
' stops it before anything is changed. Where the control server is the
' manager application (no LocalService value in its registration, the test
' that dstpatch.exe makes), only the registry job runs: closing a user's
' manager from here would lose unsaved work and start the manager where
' nobody sees it; the site change needs a run in the user's session.
'
' Prints the console output of the run, if any, then one line that begins
' "dstpatch-install: " with the outcome, and exits with:
'   0  done (the detection rule finds the machine done)
'   1  failed: not done after the run (the line says why)
'   2  site change pending: the registry job is done
'   3  not run: no site root, a write filter, no detection, a script error
'   4  not done yet: another run of the patch was in progress; run again later
Option Explicit

Const ServiceRegistration = "HKCR\AppID\{6F2B41C8-93D0-4E57-B1A2-5C7D90E3F614}\LocalService"
Const RefusalLine = "Another run of this patch is in progress on this machine"
Const DetectDone = 10
Const DetectWriteFilter = 12

Dim shell, fso, env, here, root
Set shell = CreateObject("WScript.Shell")
Set fso = CreateObject("Scripting.FileSystemObject")
Set env = shell.Environment("PROCESS")
here = fso.GetParentFolderName(WScript.ScriptFullName)

Sub Finish(status, outcome)
    WScript.Echo "dstpatch-install: " & outcome
    WScript.Quit status
End Sub

' The answer of detect.vbs with ARGUMENTS (anything but its statuses: it
' did not run).
Function Detect(arguments)
    Detect = shell.Run("cscript.exe //nologo """ & here & "\detect.vbs"" " & arguments & " """ & root & """", 0, True)
End Function

Function ReadText(path)
    Dim stream
    ReadText = ""
    On Error Resume Next
    Set stream = fso.OpenTextFile(path, 1)
    If Err.Number <> 0 Then Exit Function
    If Not stream.AtEndOfStream Then ReadText = stream.ReadAll
    stream.Close
End Function

Sub Main()
    Dim serviceMode, answer, jobs, folder, console, text
    If WScript.Arguments.Count > 0 Then root = WScript.Arguments(0)
    If Trim(root) = "" Then root = env("QUORDIR")
    If Trim(root) = "" Then
        On Error Resume Next
        root = shell.RegRead("HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment\QUORDIR")
        On Error GoTo 0
        ' Wine's ExpandEnvironmentStrings ends its answer with a NUL.
        If InStr(root, "%") > 0 Then root = Replace(shell.ExpandEnvironmentStrings(root), Chr(0), "")
    End If
    root = Trim(root)
    Do While Len(root) > 3 And Right(root, 1) = "\"
        root = Left(root, Len(root) - 1)
    Loop
    If root = "" Then Finish 3, "not run: no site root: QUORDIR is set neither here nor on this machine"
    If Not fso.FileExists(root & "\data\pelio.ini") Then
        Finish 3, "not run: no site root: " & root & "\data\pelio.ini does not exist"
    End If
    If Replace(shell.ExpandEnvironmentStrings(root), Chr(0), "") <> root Then
        Finish 3, "not run: the site root " & root & " holds the %NAME% of an environment variable"
    End If

    On Error Resume Next
    shell.RegRead ServiceRegistration
    serviceMode = (Err.Number = 0)
    On Error GoTo 0

    answer = Detect("status")
    If answer = DetectDone Then Finish 0, "done: found done; nothing was run"
    If answer <> DetectDone + 1 Then Finish 3, "not run: no detection: detect.vbs ended with exit status " & answer
    If Not serviceMode Then
        If Detect("registry status") = DetectDone Then Finish 2, "site change pending: the registry job is done; " & _
            "the site change needs a run in the user's session (the control server is the manager application)"
    End If
    If Detect("writefilter") = DetectWriteFilter Then
        Finish 3, "not run: write filter on " & env("SystemDrive") & " (changes would be lost at restart)"
    End If

    jobs = "/CHANGEREGVALS /CHANGEBOHVALS /S"
    If Not serviceMode Then jobs = "/CHANGEREGVALS /S"
    ' The console output goes to a folder that ordinary users cannot write.
    folder = env("SystemRoot") & "\dstpatch"
    If Not fso.FolderExists(folder) Then fso.CreateFolder folder
    console = folder & "\install-console.txt"
    shell.CurrentDirectory = folder
    shell.Run "cmd.exe /d /s /c """"" & here & "\dstpatch.exe"" " & jobs & " /QUORDIR """ & root & _
        """ > install-console.txt 2>&1""", 0, True
    text = ReadText(console)
    If text <> "" Then WScript.Echo text
    If InStr(text, vbLf & RefusalLine) > 0 Or Left(text, Len(RefusalLine)) = RefusalLine Then
        Finish 4, "not done: another run of this patch was in progress; run this again later"
    End If
    If Detect("status") = DetectDone Then Finish 0, "done"
    If Not serviceMode Then
        If Detect("registry status") = DetectDone Then Finish 2, "site change pending: the registry job is done; " & _
            "the site change needs a run in the user's session (the control server is the manager application)"
    End If
    Finish 1, "failed: the machine is not done after the run; see its console output above and " & root & _
        "\tmp\debGorvinal.txt"
End Sub

On Error Resume Next
Main
If Err.Number <> 0 Then Finish 3, "not run: script error " & Err.Number & " " & Err.Description
