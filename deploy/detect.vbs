' dstpatch detection rule for Windows Script Host: the rule of detect.ps1 for
' machines without PowerShell (Windows XP SP2 and later, nothing installed).
' Prints "Detected" when this machine is done: the TZI value of each of the
' seven US/Canada zones holds the record that dstpatch.exe writes,
' TIMEZONE=INTL is set in section QUORTECH of <root>\data\pelio.ini and
' <root>\newdata\pelio.ini, and neither <root>\data\timezone.ini nor
' <root>\newdata\timezone.ini exists. Prints nothing when the machine is
' still to do. Always exits 0.
'
'   cscript //nologo detect.vbs [registry] [status] [SITEROOT]
'
'   registry     only the time-zone records count (machines whose site
'                change is made in the user's session)
'   status       says why a machine is not done, and tells the answer by the
'                exit status: 10 done, 11 not done
'   SITEROOT     the site root (else as below)
Option Explicit
'#include dstpatch-common.vbs

' The site root, unless given as an argument; when empty, the QUORDIR
' environment variable of this process is used, else the machine's QUORDIR
' as the registry holds it (a distribution agent or service started before
' QUORDIR was set does not see it in its environment).
Const SiteRoot = ""

Const StatusDone = 10
Const StatusNotDone = 11

' Why this machine is not done, or "" when it is.
Function NotDoneReason(registryOnly, rootArgument)
    Dim root
    NotDoneReason = RegistryNotDone()
    If NotDoneReason <> "" Or registryOnly Then Exit Function
    root = TrimBlanks(rootArgument)
    If root = "" Then root = TrimBlanks(SiteRoot)
    If root = "" Then root = MachineSiteRoot()
    root = CleanRoot(root)
    If root = "" Then
        NotDoneReason = "no site root: QUORDIR is not set"
    Else
        NotDoneReason = SiteNotDone(root)
    End If
End Function

Dim registryOnly, status, i, reason, rootArgument
registryOnly = False
status = False
rootArgument = ""
For i = 0 To WScript.Arguments.Count - 1
    Select Case LCase(WScript.Arguments(i))
        Case "registry"
            registryOnly = True
        Case "status"
            status = True
        Case Else
            rootArgument = WScript.Arguments(i)
    End Select
Next
reason = NotDoneReason(registryOnly, rootArgument)
If reason = "" Then
    WScript.Echo "Detected"
    If status Then WScript.Quit StatusDone
ElseIf status Then
    WScript.Echo "Not detected: " & reason
    WScript.Quit StatusNotDone
End If
WScript.Quit 0
