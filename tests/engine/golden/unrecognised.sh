#!/bin/sh
echo "Results of the Corvantis:"
echo "Checking for destination..."
if test -d /Volumes/Backup\ Drive\ \(2\)/Mail\ Backups
then 
	errorCode=0


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