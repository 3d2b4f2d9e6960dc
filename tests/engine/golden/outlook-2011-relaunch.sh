#!/bin/sh
echo "Results of the Corvantis:"
echo "Checking for destination..."
if test -d /Volumes/Backup\ Drive\ \(2\)/Mail\ Backups
then 
	errorCode=0

	echo "Quiting Outlook..."
	mailBase=$(/bin/ps ax | grep "Microsoft Outlook" | grep -v grep | wc -l)

	osascript -e 'tell application "Microsoft Outlook"' -e "quit" -e 'end tell'
	if [ $mailBase -ne 0 ]
		then
		echo "Waiting for Microsoft Outlook to quit"
		mailResult=$mailBase
		while [ $mailResult -eq $mailBase ]
		do
			mailResult=$(/bin/ps ax | grep "Microsoft Outlook" | grep -v grep | wc -l)
			sleep 1
		done
	fi

	mailBase=$(/bin/ps ax | grep "Microsoft Database Daemon" | grep -v grep | wc -l)

	osascript -e 'tell application "Microsoft Database Daemon"' -e "quit" -e 'end tell'
	if [ $mailBase -ne 0 ]
		then
		echo "Waiting for Microsoft Database Daemon to quit"
		mailResult=$mailBase
		while [ $mailResult -eq $mailBase ]
		do
			mailResult=$(/bin/ps ax | grep "Microsoft Database Daemon" | grep -v grep | wc -l)
			sleep 1
		done
	fi

	echo "Backing up Mail files"
	ditto -rsrc "/Users/jane/Documents/Microsoft User Data/Office 2011 Identities" "/Volumes/Backup Drive (2)/Mail Backups"
	if [ ! "$?" -eq 0 ]
	then
		errorCode=1
	fi
	
	echo "Launching email application..."
	osascript -e 'tell application "Microsoft Outlook"' -e "activate" -e 'end tell'


	if [ "$errorCode" -eq 0 ]
		then
		touch /Users/jane/Library/Application\ Support/Tallowmere/Corvantis/lastbackup
		echo "`date`: Backup completed successfully."
	elif [ "$errorCode" -eq 1 ]
		then
		echo "`date`: Backup failed. Please see above error messages."
	else
		echo "`date`: Backup completed with errors. Please see log for error messages."
	fi

else
	echo "`date`: Backup failed. Destination not available."
fi