' Undoes dstpatch on this machine from a backup of the start-up script or the
' install wrapper. Windows Script Host only (XP SP2 and later, nothing
' installed); run it as an administrator (elevated), with the clerk signed
' off and the control server stopped.
'
'   cscript //nologo dstpatch-undo.vbs [FOLDER]
'
' FOLDER is the machine's backup folder, <backup>\<COMPUTERNAME> (default:
' %SystemRoot%\dstpatch\<COMPUTERNAME>), or one run folder in it. Of the run
' folders it takes the first complete one in the order that backups.txt
' records (the later ones saved a machine that the patch had changed
' already). From it:
' - each .reg file is imported: the seven zone keys and the active zone;
' - TIMEZONE in section QUORTECH of <root>\data\pelio.ini and
'   <root>\newdata\pelio.ini is set back to the line that the backup holds,
'   or removed where the backup has none; every other line stays as it is
'   now, so the changes made since the patch are kept;
' - each timezone.ini that was saved and is not there now is copied back.
' The site root is the one that backup.txt names. A site file is written
' only when it is a plain file of one name (or, for timezone.ini, absent) in
' a folder of the root that is no link or mount point, and pelio.ini only
' when it is ANSI text (no byte order mark, not UTF-16), which is how the
' site's programs write it. Exits 0 when all is done, 1 when something could
' not be done (each line says what), 2 when nothing was changed (bad input,
' not elevated).
Option Explicit
'#include dstpatch-common.vbs

Sub Fail(message)
    WScript.Echo "dstpatch-undo: " & message
    WScript.Echo "usage: cscript //nologo dstpatch-undo.vbs [FOLDER]"
    WScript.Quit 2
End Sub

' The run folder to restore from FOLDER: itself when it holds backup.txt,
' else the first folder that its backups.txt lists and that holds
' backup.txt ("" when none). WHY says what is missing.
Function ChosenBackup(folder, why)
    Dim names, i
    ChosenBackup = ""
    If fso.FileExists(folder & "\backup.txt") Then
        ChosenBackup = folder
        Exit Function
    End If
    why = "no complete backup in " & folder & " (its backups.txt lists none with a backup.txt)"
    If Not fso.FileExists(folder & "\backups.txt") Then
        why = "no list of the backups (backups.txt) in " & folder & ": give the run folder to restore"
        Exit Function
    End If
    names = SplitLines(ReadText(folder & "\backups.txt"))
    For i = 0 To UBound(names)
        If names(i) <> "" And InStr(names(i), "\") = 0 And InStr(names(i), ":") = 0 And names(i) <> "." And _
                names(i) <> ".." Then
            If fso.FileExists(folder & "\" & names(i) & "\backup.txt") Then
                ChosenBackup = folder & "\" & names(i)
                Exit Function
            End If
        End If
    Next
End Function

' In LINES, the index of the first TIMEZONE entry of the first section
' QUORTECH (-1: none), and in SECTION the index of that section's header
' (-1: none), as Windows reads profile files.
Function TimezoneEntry(lines, section)
    Dim i, text, equals
    TimezoneEntry = -1
    section = -1
    For i = 0 To UBound(lines)
        text = Trim(Replace(lines(i), vbTab, " "))
        If Left(text, 1) = "[" And InStrRev(text, "]") > 1 Then
            If section >= 0 Then Exit Function
            If UCase(Trim(Mid(text, 2, InStrRev(text, "]") - 2))) = "QUORTECH" Then section = i
        ElseIf section >= 0 Then
            equals = InStr(text, "=")
            If equals > 0 Then
                If UCase(Trim(Left(text, equals - 1))) = "TIMEZONE" Then
                    TimezoneEntry = i
                    Exit Function
                End If
            End If
        End If
    Next
End Function

' The TIMEZONE line of the saved pelio.ini SAVED ("" when it has none).
Function SavedTimezone(saved)
    Dim lines, entry, section
    lines = SplitLines(ReadText(saved))
    entry = TimezoneEntry(lines, section)
    SavedTimezone = ""
    If entry >= 0 Then SavedTimezone = lines(entry)
End Function

' Sets the TIMEZONE entry of ROOT\RELATIVE (a pelio.ini) back to VALUE (a
' whole line; "": no entry); "" when done, else why not.
Function RestoreTimezone(root, relative, value)
    Dim current, text, lines, entry, section, i, out, stream, links
    current = root & "\" & relative
    RestoreTimezone = SiteFileProblem(root, relative, links)
    If RestoreTimezone = "absent" Then RestoreTimezone = current & " does not exist"
    If RestoreTimezone = "" And links = 0 Then
        RestoreTimezone = "the names of " & current & " could not be counted on this Windows"
    End If
    If RestoreTimezone <> "" Then Exit Function
    text = ReadText(current)
    If ByteOrderMark(text) <> "" Then
        RestoreTimezone = current & " is " & ByteOrderMark(text) & " text, which this script would corrupt"
    ElseIf InStr(text, Chr(0)) > 0 Then
        RestoreTimezone = current & " holds NUL characters (UTF-16 text?), which this script would corrupt"
    End If
    If RestoreTimezone <> "" Then Exit Function
    lines = SplitLines(text)
    entry = TimezoneEntry(lines, section)
    out = ""
    For i = 0 To UBound(lines)
        If i = entry Then
            If value <> "" Then out = out & value & vbCrLf
        Else
            out = out & lines(i) & vbCrLf
            If i = section And entry < 0 And value <> "" Then out = out & value & vbCrLf
        End If
    Next
    If section < 0 And value <> "" Then out = out & "[QUORTECH]" & vbCrLf & value & vbCrLf
    ' The last line break of the file was a line of its own after Split.
    If Right(out, 4) = vbCrLf & vbCrLf Then out = Left(out, Len(out) - 2)
    On Error Resume Next
    Set stream = fso.OpenTextFile(current, 2)
    If Err.Number = 0 Then stream.Write out
    If Err.Number = 0 Then stream.Close
    If Err.Number <> 0 Then RestoreTimezone = "could not write " & current & ": " & Err.Description
End Function

' Copies the saved timezone.ini RELATIVE of RUN back to ROOT, where there is
' none now (COPIED tells); "" when done or nothing was to do, else why not.
Function RestoreFile(run, root, relative, listing, copied)
    Dim problem, links
    RestoreFile = ""
    copied = False
    If Not fso.FileExists(run & "\" & relative) Then Exit Function
    If fso.FileExists(root & "\" & relative) Or fso.FolderExists(root & "\" & relative) Then Exit Function
    If InStr(listing, vbLf & "saved    " & relative & vbCr) = 0 Then
        RestoreFile = run & "\" & relative & " was saved without its names counted: look at it, then copy it " & _
            "back to " & root & "\" & relative & " by hand"
        Exit Function
    End If
    problem = SiteFileProblem(root, relative, links)
    If problem <> "absent" Then
        RestoreFile = problem
        Exit Function
    End If
    On Error Resume Next
    fso.CopyFile run & "\" & relative, root & "\" & relative, False
    If Err.Number <> 0 Then RestoreFile = "could not copy back " & root & "\" & relative & ": " & Err.Description
    copied = (Err.Number = 0)
End Function

Sub Main()
    Dim folder, run, root, line, file, failed, problem, status, i, names, listing, why, copied
    If WScript.Arguments.Count > 1 Then Fail "give one folder"
    If WScript.Arguments.Count = 1 Then
        folder = WScript.Arguments(0)
    Else
        folder = PrivateFolder() & "\" & ComputerName()
    End If
    folder = CleanRoot(folder)
    If Not fso.FolderExists(folder) Then Fail "the folder " & folder & " does not exist"
    ' fsutil answers only an administrator whose rights are in effect.
    If RunIn(env("SystemRoot"), """" & SystemTool("fsutil.exe") & """ dirty query " & env("SystemDrive")) <> 0 Then
        Fail "run this as an administrator (on Vista and later from a command prompt opened with " & _
            """Run as administrator""); nothing was changed"
    End If
    ' Where the checks of the site's files leave their answers.
    problem = MakePrivateFolder()
    If problem <> "" Then Fail problem & "; nothing was changed"
    If Not fso.FileExists(SystemTool("reg.exe")) Then Fail "reg.exe is not in " & env("SystemRoot") & "\System32"
    run = ChosenBackup(folder, why)
    If run = "" Then Fail why
    root = ""
    listing = vbLf & ReadText(run & "\backup.txt")
    names = SplitLines(ReadText(run & "\backup.txt"))
    For Each line In names
        If Left(line, 11) = "Site root: " Then root = CleanRoot(Mid(line, 12))
    Next
    If root = "" Then Fail run & "\backup.txt does not name the site root"
    WScript.Echo "Restoring from " & run & " (site root " & ShownRoot(root) & ") [dstpatch " & Release & "]"

    failed = False
    For Each file In fso.GetFolder(run).Files
        If LCase(fso.GetExtensionName(file.Name)) = "reg" Then
            status = RunIn(run, """" & SystemTool("reg.exe") & """ import """ & file.Name & """")
            If status = 0 Then
                WScript.Echo "imported " & file.Name
            Else
                WScript.Echo "FAILED: reg import of " & file.Name & " ended with exit status " & status
                failed = True
            End If
        End If
    Next
    names = Array("data", "newdata")
    For i = 0 To UBound(names)
        file = names(i) & "\pelio.ini"
        If fso.FileExists(run & "\" & file) Then
            line = SavedTimezone(run & "\" & file)
            problem = RestoreTimezone(root, file, line)
            If problem = "" Then
                WScript.Echo "TIMEZONE of " & root & "\" & file & " set back"
            Else
                If line = "" Then line = "no TIMEZONE entry"
                WScript.Echo "FAILED: " & problem & "; left as it is (set back by hand in section QUORTECH: " & line & ")"
                failed = True
            End If
        End If
        file = names(i) & "\timezone.ini"
        problem = RestoreFile(run, root, file, listing, copied)
        If problem <> "" Then
            WScript.Echo "FAILED: " & problem
            failed = True
        ElseIf copied Then
            WScript.Echo "copied back " & root & "\" & file
        End If
    Next
    If failed Then WScript.Quit 1
    WScript.Echo "Done. The active zone takes its old dates once it is applied again (see DEPLOY.txt)."
    WScript.Quit 0
End Sub

Main
