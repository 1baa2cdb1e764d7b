' Install command of dstpatch for software-distribution tools and the
' Ansible playbook: runs dstpatch.exe, which lies beside it, as the start-up
' script does. Windows Script Host only (XP SP2 and later, nothing
' installed).
'
'   cscript //nologo dstpatch-install.vbs [SITEROOT]
'
' The site root is SITEROOT, else QUORDIR of this process, else the machine's
' QUORDIR as the registry holds it (an agent started before QUORDIR was set
' does not see it); the program gets it in its environment.
'
' A machine that is done is left alone, and only the parts of the patch that
' are missing run. A write filter on the system drive (or one whose state
' cannot be read) stops it before anything is changed. Before the patch runs,
' what it changes is backed up as the start-up script does, into
' %SystemRoot%\dstpatch\<COMPUTERNAME>. Where the control server is the
' manager application (no LocalService value in its registration, the test
' that dstpatch.exe makes), the back-office job never runs: closing a user's
' manager from here would lose unsaved work and start the manager where
' nobody sees it; the site change needs a run in the user's session.
'
' The console output of the run goes to %SystemRoot%\dstpatch\install-console.txt
' (removed first). The script prints it, then one line that begins
' "dstpatch-install: " with the outcome and the release, which also goes to
' the journal %SystemRoot%\dstpatch\dstpatch.log and the Application event
' log, and exits with:
'      0  done: the run ended in order and the machine is done, or it was
'         found done
'      1  failed: the run reported a failure, or the machine is not done
'         after it (the line says which)
'      2  site change pending: the registry job is done
'      3  not run, for a cause that a later try can mend: a write filter,
'         its state unknown, no backup, a script error
'      4  not run, for a cause that no retry mends: no site root, no program
'   1618  not done: another run of the patch was in progress; try again later
Option Explicit
'#include dstpatch-common.vbs

Const Who = "dstpatch-install"
Const Capture = "install-console.txt"

Dim here

' Prints, records and ends with OUTCOME (a line without its release).
Sub Finish(outcome)
    Dim line, code
    line = WithRelease(outcome)
    Journal Who, line
    LogOutcome Who, line
    WScript.Echo Who & ": " & line
    code = 3
    If Left(outcome, 4) = "done" Then
        code = 0
    ElseIf Left(outcome, 7) = "failed:" Then
        code = 1
    ElseIf Left(outcome, 20) = "site change pending:" Then
        code = 2
    ElseIf Left(outcome, Len(OutcomeNotYet)) = OutcomeNotYet Then
        code = 1618
    ElseIf Left(outcome, 21) = "not run: no site root" Or Left(outcome, 19) = "not run: no program" Then
        code = 4
    End If
    WScript.Quit code
End Sub

Sub Main()
    Dim root, serviceSite, registryMissing, siteMissing, problem, run, status, text, program
    problem = MakePrivateFolder()
    If problem <> "" Then Finish "not run: no backup: " & problem
    ' A run whose output cannot be captured must not be judged by an earlier one's.
    problem = RemoveFile(PrivateFolder() & "\" & Capture)
    If problem <> "" Then Finish "not run: " & problem

    root = ""
    If WScript.Arguments.Count > 0 Then root = WScript.Arguments(0)
    If TrimBlanks(root) = "" Then root = MachineSiteRoot()
    root = CleanRoot(root)
    If root = "" Then Finish "not run: no site root set: QUORDIR is set neither here nor on this machine"
    problem = SiteRootProblem(root)
    If problem <> "" Then Finish "not run: no site root: " & problem
    program = here & "\dstpatch.exe"
    If Not fso.FileExists(program) Then Finish "not run: no program: " & program & " does not exist"
    serviceSite = IsServiceSite()

    registryMissing = (RegistryNotDone() <> "")
    siteMissing = (SiteNotDone(root) <> "")
    If Not registryMissing And Not siteMissing Then Finish "done: found done; nothing was run"
    If Not registryMissing And Not serviceSite Then Finish OutcomePending
    problem = WriteFilter()
    If problem <> "" Then Finish "not run: " & problem

    If Not fso.FileExists(SystemTool("reg.exe")) Then
        Finish "not run: no backup: " & SystemTool("reg.exe") & " does not exist"
    End If
    problem = MakeRunFolder(PrivateFolder(), run)
    If problem = "" Then problem = Backup(root, run)
    If problem <> "" Then Finish "not run: no backup: " & problem

    status = RunPatch(program, root, JobsFor(registryMissing, siteMissing, serviceSite), Capture)
    text = ReadText(PrivateFolder() & "\" & Capture)
    CopyFile PrivateFolder() & "\" & Capture, run & "\console.txt"
    If text <> "" Then WScript.Echo text
    problem = OutcomeOf(text, status, siteMissing And Not serviceSite)
    If problem = OutcomeNotYet Then problem = problem & "; run this again later"
    Finish Judged(problem, root)
End Sub

here = fso.GetParentFolderName(WScript.ScriptFullName)
On Error Resume Next
Main
If Err.Number <> 0 Then Finish "not run: script error " & Err.Number & " " & Err.Description
