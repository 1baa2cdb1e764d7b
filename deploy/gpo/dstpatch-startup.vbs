' Runs dstpatch.exe once on a machine at its start, for dstpatch-startup.cmd,
' which gives the settings in the environment (QUORDIR, DSTPATCH_BACKUP,
' DSTPATCH_SHARE). Windows Script Host only: Windows XP SP2 and later, nothing
' installed.
'
' 1. The detection rule decides which parts of the patch the machine still
'    needs; a machine that is done is left alone, and one whose system drive
'    has a write filter on (or one whose state cannot be read) is not
'    patched.
' 2. The seven zone keys and the active zone (reg export), both pelio.ini and
'    any timezone.ini are saved into a folder of this run:
'    <backup>\<COMPUTERNAME>\<date-time>. Without a complete backup the patch
'    is not run.
' 3. The patch runs from this script's folder (the policy's, which ordinary
'    users cannot change), for the parts still missing: the registry job,
'    and the back-office job where the control server is the service (where
'    it is the manager application, the site change needs a run in the
'    user's session).
' 4. The outcome, one line that names the release, goes to outcome.txt in
'    the run's folder, to the journal %SystemRoot%\dstpatch\dstpatch.log, to
'    the Application event log and, with the console output, to the share
'    when one is set. A share that cannot be written never stops the patch.
'    An outcome that says "failed" is kept on the share, after "(earlier: ",
'    by the outcome that follows it.
'
' It writes "started" to the journal first, so that a start whose script
' dies still shows; an error in this script ends it with the outcome
' "not run: script error ..." (cscript itself may end with status 0 then).
'
' The backups and the journal live where only SYSTEM and Administrators may
' go: by default %SystemRoot%\dstpatch, which this script gives an access
' list of its own; a backup folder set in dstpatch-startup.cmd is given one
' when this script makes it, else refused unless only SYSTEM,
' Administrators and TrustedInstaller may write it and it belongs to one of
' them. Site files are copied only when they are plain files of one name.
Option Explicit
'#include dstpatch-common.vbs

Const Who = "dstpatch-startup"
Const OutcomeFoundDone = "done: found done at start-up; nothing was run"
Const LaterTail = "; this machine tries again at its next start"
Const EarlierMark = " (earlier: "

Dim here, runFolder, privateProblem

Function Setting(name)
    Setting = Trim(Replace(env(name), vbTab, " "))
End Function

' Records OUTCOME (a line without its release): in the run's folder (when
' there is one), in the journal, in the event log and on the share (with
' the console output of the run, when given), then ends. A record that
' cannot be written is noted in the others.
Sub Finish(result, console)
    Dim notes, note, target, outcome
    notes = ""
    outcome = WithRelease(result) & EarlierFailure(result)
    If runFolder <> "" Then notes = notes & WriteText(runFolder & "\outcome.txt", outcome & vbCrLf, False)
    target = Setting("DSTPATCH_SHARE")
    If target <> "" Then
        ' The outcome comes last, so that it never stands beside the console
        ' output of another run; after a failure the share is not tried again.
        target = CleanRoot(target) & "\" & ComputerName()
        note = ""
        If console <> "" Then note = CopyFile(console, target & "-console.txt")
        If note = "" Then note = WriteText(target & "-outcome.txt", outcome & vbCrLf, False)
        If note <> "" Then notes = notes & "; " & note
    End If
    If Left(notes, 2) = "; " Then notes = Mid(notes, 3)
    note = outcome
    If runFolder <> "" Then note = note & " (" & runFolder & ")"
    If notes <> "" Then note = note & vbCrLf & "  note: " & notes
    Journal Who, note
    LogOutcome Who, outcome
    WriteText PrivateFolder() & "\last-outcome.txt", outcome & vbCrLf, False
    If runFolder <> "" And notes <> "" Then WriteText runFolder & "\outcome.txt", "note: " & notes & vbCrLf, True
    WScript.Echo outcome
    If notes <> "" Then WScript.Echo "note: " & notes
    WScript.Quit 0
End Sub

' The share's outcome file of this machine ("" without a share).
Function ShareOutcomeFile()
    ShareOutcomeFile = Setting("DSTPATCH_SHARE")
    If ShareOutcomeFile <> "" Then ShareOutcomeFile = CleanRoot(ShareOutcomeFile) & "\" & ComputerName() & "-outcome.txt"
End Function

' What OUTCOME keeps of the share's earlier outcome: a failure there, or the
' one that it kept itself, as " (earlier: failed: ...)"; "" when OUTCOME is a
' failure itself or there is none.
Function EarlierFailure(outcome)
    Dim earlier, at
    EarlierFailure = ""
    If Left(outcome, 7) = "failed:" Or ShareOutcomeFile() = "" Then Exit Function
    earlier = SplitLines(ReadText(ShareOutcomeFile()) & vbLf)
    earlier = earlier(0)
    at = InStr(earlier, EarlierMark & "failed:")
    If at > 0 Then
        EarlierFailure = Mid(earlier, at)
    ElseIf Left(earlier, 7) = "failed:" Then
        EarlierFailure = EarlierMark & earlier & ")"
    End If
End Function

' Leaves a machine found in STATE alone: the share gets STATE only when it
' holds another outcome for this machine (a run gives it more detail).
Sub FinishUnchanged(state, sameAs)
    Dim target
    target = ShareOutcomeFile()
    If target <> "" Then
        If Left(ReadText(target), Len(sameAs)) = sameAs Then target = ""
    End If
    If target = "" Then
        Journal Who, WithRelease(state)
        LogOutcome Who, WithRelease(state)
        WriteText PrivateFolder() & "\last-outcome.txt", WithRelease(state) & vbCrLf, False
        WScript.Echo WithRelease(state)
        WScript.Quit 0
    End If
    Finish state, ""
End Sub

' The folder that holds the backups: the private folder, or the one set in
' dstpatch-startup.cmd; "" when it cannot be used (PROBLEM says why).
Function BackupBase(problem)
    Dim base
    BackupBase = ""
    problem = privateProblem
    base = CleanRoot(Setting("DSTPATCH_BACKUP"))
    If problem <> "" Or base = "" Then
        If problem = "" Then BackupBase = PrivateFolder()
        Exit Function
    End If
    If Mid(ShownRoot(base), 2, 2) <> ":\" Then
        problem = "the backup folder " & base & " is not a full path on a local drive"
    ElseIf fso.FolderExists(ShownRoot(base)) Then
        problem = ForeignWriters(ShownRoot(base))
        If problem <> "" Then problem = "refused the backup folder " & ShownRoot(base) & ": " & problem
    Else
        problem = MakeFolder(base)
        If problem = "" Then problem = ProtectFolder(base)
    End If
    If problem = "" Then BackupBase = base
End Function

Sub Main()
    Dim root, serviceSite, registryMissing, siteMissing, base, problem, status, console, outcome, program
    root = CleanRoot(Setting("QUORDIR"))
    If root = "" Then Finish "not run: no site root set: QUORDIR is set neither on this machine nor in " & _
        "dstpatch-startup.cmd", ""
    problem = SiteRootProblem(root)
    If problem <> "" Then Finish "not run: no site root: " & problem, ""
    program = here & "\dstpatch.exe"
    If Not fso.FileExists(program) Then Finish "not run: no program: " & program & " does not exist", ""
    serviceSite = IsServiceSite()

    registryMissing = (RegistryNotDone() <> "")
    siteMissing = (SiteNotDone(root) <> "")
    If Not registryMissing And Not siteMissing Then FinishUnchanged OutcomeFoundDone, OutcomeDone
    If Not registryMissing And Not serviceSite Then FinishUnchanged OutcomePending, OutcomePending
    problem = WriteFilter()
    If problem <> "" Then Finish "not run: " & problem, ""

    If Not fso.FileExists(SystemTool("reg.exe")) Then
        Finish "not run: no backup: " & SystemTool("reg.exe") & " does not exist", ""
    End If
    base = BackupBase(problem)
    If problem = "" Then problem = MakeRunFolder(base, runFolder)
    If problem = "" Then problem = Backup(root, runFolder)
    If problem <> "" Then Finish "not run: no backup: " & problem, ""

    status = RunPatch(program, root, JobsFor(registryMissing, siteMissing, serviceSite), "startup-console.txt")
    If status < 0 Then Finish "not run: script error: the console output of an earlier run could not be removed", ""
    ' The run's folder keeps a copy of the console output with the backup.
    console = runFolder & "\console.txt"
    If CopyFile(PrivateFolder() & "\startup-console.txt", console) <> "" Then console = PrivateFolder() & _
        "\startup-console.txt"
    outcome = OutcomeOf(ReadText(console), status, siteMissing And Not serviceSite)
    If outcome = OutcomeNotYet Then outcome = outcome & LaterTail
    Finish Judged(outcome, root), console
End Sub

here = fso.GetParentFolderName(WScript.ScriptFullName)
runFolder = ""
privateProblem = MakePrivateFolder()
Journal Who, WithRelease("started")

On Error Resume Next
Main
If Err.Number <> 0 Then
    Dim scriptError
    scriptError = "not run: script error " & Err.Number
    If Err.Description <> "" Then scriptError = scriptError & ": " & Err.Description
    Err.Clear
    Finish scriptError, ""
End If
